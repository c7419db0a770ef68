#pragma once
// Work that must leave the thread that asks for it, done on one thread of its own, one task at a
// time, in the order posted. A task may say when it is due at the earliest, so that what comes
// meanwhile can gather (files sharing one flush, changes sharing one write); drain() makes every
// task due at once and waits for the queue to be empty.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace Fw {

class SerialWorker {
public:
    using Clock = std::chrono::steady_clock;

    SerialWorker() = default;
    // stop().
    ~SerialWorker();
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    // Runs `task` after the tasks posted before it, not before `due`. The thread is started by
    // the first post. After stop(), a post runs the task on the caller at once.
    void post(std::function<void()> task, Clock::time_point due = {});
    // The tasks waiting for their time are due now; returns without waiting.
    void expedite();
    // Runs every task posted so far (without waiting for their time) and returns when none is
    // left or running. Not from a task.
    void drain();
    // drain(), then the thread ends. Idempotent.
    void stop();

private:
    struct Task {
        std::function<void()> run;
        Clock::time_point due;
    };
    void serve();

    std::mutex lock_;
    std::condition_variable changed_;  // a task posted or done, a hurry, the stop
    std::deque<Task> tasks_;
    bool running_ = false;
    bool hurry_ = false;
    bool stopping_ = false;
    bool stopped_ = false;
    std::thread thread_;
};

}  // namespace Fw
