#pragma once
// The uniform error trap of the guarded procedures: a failing statement is reported in one
// fixed-form box, and the procedure goes on with its next statement. Nothing is rolled back.
#include <QString>

#include <exception>
#include <stdexcept>
#include <utility>

#include "app/Dialogs.h"

namespace ErrorReport {

inline constexpr const char* kProjectId = "Fetchwright2021/08/31";
inline constexpr const char* kSupportAddress = "support@quillmoor.example";
inline constexpr const char* kCaption = QT_TRANSLATE_NOOP("ErrorReport", "Application Error");

// A run-time failure with its description text.
class Failure : public std::runtime_error {
public:
    explicit Failure(const QString& description) : std::runtime_error(description.toStdString()) {}
};

// The message text of one report.
QString ComposeReport(const QString& description, const QString& module, const QString& procedure, int line);

// The description of whatever is in flight inside a catch block.
QString DescribeCurrentException();

class Trap {
public:
    Trap(Dialogs::DialogService& dialogs, QString module, QString procedure)
        : dialogs_(dialogs), module_(std::move(module)), procedure_(std::move(procedure)) {}

    // One statement. A failure inside it (also inside a procedure it calls) is reported with
    // this statement's line. Returns whether it ran through.
    template <class F>
    bool run(int line, F&& statement) {
        try {
            std::forward<F>(statement)();
            return true;
        } catch (...) {
            report(line, DescribeCurrentException());
            return false;
        }
    }

    // A statement that yields a value; after a failure the value is `fallback`.
    template <class T, class F>
    T value(int line, F&& statement, T fallback) {
        try {
            return std::forward<F>(statement)();
        } catch (...) {
            report(line, DescribeCurrentException());
            return fallback;
        }
    }

    // The test of a block of statements: a failing test goes on inside the block.
    template <class F>
    bool blockTest(int line, F&& test) { return value<bool>(line, std::forward<F>(test), true); }

    // A test whose only action is to end the procedure: a failing test is passed over.
    template <class F>
    bool endTest(int line, F&& test) { return value<bool>(line, std::forward<F>(test), false); }

    void report(int line, const QString& description);
    int reportCount() const { return reports_; }

private:
    Dialogs::DialogService& dialogs_;
    QString module_;
    QString procedure_;
    int reports_ = 0;
};

}  // namespace ErrorReport
