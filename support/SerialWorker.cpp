#include "support/SerialWorker.h"

#include <utility>

namespace Fw {

SerialWorker::~SerialWorker() { stop(); }

void SerialWorker::post(std::function<void()> task, Clock::time_point due) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!stopped_) {
            tasks_.push_back(Task{std::move(task), due});
            if (!thread_.joinable()) thread_ = std::thread([this] { serve(); });
            changed_.notify_all();
            return;
        }
    }
    task();
}

void SerialWorker::expedite() {
    std::lock_guard<std::mutex> hold(lock_);
    if (tasks_.empty()) return;
    hurry_ = true;
    changed_.notify_all();
}

void SerialWorker::drain() {
    std::unique_lock<std::mutex> hold(lock_);
    if (tasks_.empty() && !running_) return;
    hurry_ = true;
    changed_.notify_all();
    changed_.wait(hold, [&] { return tasks_.empty() && !running_; });
}

void SerialWorker::stop() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (stopped_) return;
        stopping_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> hold(lock_);
    stopped_ = true;
}

void SerialWorker::serve() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        changed_.wait(hold, [&] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) return;  // stopping, and nothing left to do
        const Clock::time_point due = tasks_.front().due;
        changed_.wait_until(hold, due, [&] { return hurry_ || stopping_; });
        Task task = std::move(tasks_.front());
        tasks_.pop_front();
        running_ = true;
        hold.unlock();
        task.run();
        task.run = nullptr;  // what the task holds goes before anyone hears it is done
        hold.lock();
        running_ = false;
        if (tasks_.empty()) hurry_ = false;
        changed_.notify_all();
    }
}

}  // namespace Fw
