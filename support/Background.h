#pragma once
// The one way the program waits for blocking work off the window thread: a worker thread that
// runs one job at a time. run(f) returns f's value, or rethrows f's exception, on the caller.
// Called from the window thread it waits in a nested event loop, so the window keeps painting
// and answering; from any other thread it simply blocks.
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

class QEventLoop;

namespace Background {

class Worker {
public:
    Worker() = default;
    // Waits for a job still running, then ends the thread.
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    template <class F>
    auto run(F&& work) -> std::invoke_result_t<F> {
        using R = std::invoke_result_t<F>;
        if constexpr (std::is_void_v<R>) {
            runJob([&] { std::forward<F>(work)(); });
        } else {
            std::optional<R> result;
            runJob([&] { result.emplace(std::forward<F>(work)()); });
            return std::move(*result);
        }
    }

    // True while a job runs (a nested event loop may try to start a second one).
    bool busy() const;

private:
    void runJob(std::function<void()> job);
    void serve();

    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable ended_;
    std::function<void()> job_;
    std::exception_ptr failure_;
    QEventLoop* waiter_ = nullptr;
    bool running_ = false;
    bool done_ = false;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace Background
