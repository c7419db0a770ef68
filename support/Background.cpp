#include "support/Background.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>

#include <chrono>
#include <stdexcept>

namespace Background {

Worker::~Worker() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool Worker::busy() const {
    std::lock_guard<std::mutex> hold(lock_);
    return running_;
}

void Worker::runJob(std::function<void()> job) {
    auto* app = QCoreApplication::instance();
    const bool onWindowThread = app && QThread::currentThread() == app->thread();
    std::optional<QEventLoop> waiting;
    if (onWindowThread) waiting.emplace();
    {
        std::lock_guard<std::mutex> hold(lock_);
        // One job at a time: a second one from a nested event loop would wait for ever.
        if (running_) throw std::logic_error("The background worker is busy");
        if (!thread_.joinable()) thread_ = std::thread([this] { serve(); });
        job_ = std::move(job);
        running_ = true;
        done_ = false;
        failure_ = nullptr;
        waiter_ = waiting ? &*waiting : nullptr;
    }
    wake_.notify_all();
    for (;;) {
        if (waiting) {
            {
                std::lock_guard<std::mutex> hold(lock_);
                if (done_) break;
            }
            waiting->exec();
        }
        // When the application is quitting, exec() returns at once: wait without spinning.
        std::unique_lock<std::mutex> hold(lock_);
        if (ended_.wait_for(hold, std::chrono::milliseconds(50), [&] { return done_; })) break;
    }
    std::exception_ptr failure;
    {
        std::lock_guard<std::mutex> hold(lock_);
        waiter_ = nullptr;
        running_ = false;
        failure = failure_;
        failure_ = nullptr;
    }
    if (failure) std::rethrow_exception(failure);
}

void Worker::serve() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        wake_.wait(hold, [&] { return stop_ || job_; });
        if (!job_) return;
        std::function<void()> job = std::move(job_);
        job_ = nullptr;
        hold.unlock();
        std::exception_ptr failure;
        try {
            job();
        } catch (...) {
            failure = std::current_exception();
        }
        job = nullptr;  // what the job captured goes before the caller is told
        hold.lock();
        failure_ = failure;
        done_ = true;
        // Posted under the lock: the waiting loop lives until runJob() has cleared waiter_.
        if (waiter_) QMetaObject::invokeMethod(waiter_, &QEventLoop::quit, Qt::QueuedConnection);
        ended_.notify_all();
    }
}

}  // namespace Background
