#pragma once
// The one way a step below the error trap says that it failed: a value, or an error with its
// kind and a text a user can read. The trap stays the one place where a failure becomes a report.
#include <QString>

#include <optional>
#include <utility>
#include <variant>

namespace Fw {

enum class ErrorKind {
    Failed,     // the step did not work; the text says why
    Cancelled,  // stopped on request (the window closing, Stop)
    NameTaken,  // the name asked for exists already
};

struct Error {
    ErrorKind kind = ErrorKind::Failed;
    QString text;
    int code = 0;  // the errno or protocol status behind it, when there is one

    static Error failed(QString text, int code = 0) { return {ErrorKind::Failed, std::move(text), code}; }
    static Error cancelled() { return {ErrorKind::Cancelled, QStringLiteral("Cancelled"), 0}; }
    static Error nameTaken(int code = 0) { return {ErrorKind::NameTaken, QStringLiteral("Name taken"), code}; }
    // The system's text for an errno value.
    static Error fromErrno(int code);
    static Error fromErrno(const QString& context, int code);

    bool isCancelled() const { return kind == ErrorKind::Cancelled; }
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const Error& error() const { return std::get<1>(state_); }
    T valueOr(T fallback) const& { return ok() ? value() : std::move(fallback); }

private:
    std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : error_(std::move(error)) {}

    bool ok() const { return !error_; }
    explicit operator bool() const { return ok(); }
    const Error& error() const { return *error_; }

private:
    std::optional<Error> error_;
};

}  // namespace Fw
