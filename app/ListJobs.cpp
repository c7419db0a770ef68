#include "app/ListJobs.h"

#include "app/ErrorTrap.h"

void ListJobs::Job::toWindow(std::function<void()> step) { owner_->handOver(std::move(step)); }

ListJobs::ListJobs(QObject* parent) : QObject(parent) {}

ListJobs::~ListJobs() {
    stopAll();
    waitAll();
}

void ListJobs::start(std::function<void(Job&)> work, std::function<void(const Ending&)> ended) {
    auto job = std::make_shared<Job>();
    job->owner_ = this;
    waiting_.push_back({std::move(job), std::move(work), std::move(ended)});
    if (!running_) runNext();
}

void ListJobs::runNext() {
    Waiting next = std::move(waiting_.front());
    waiting_.pop_front();
    running_ = next.job;
    worker_.post([this, job = next.job, work = std::move(next.work), ended = std::move(next.ended)] {
        QString failure;
        try {
            work(*job);
        } catch (...) {
            failure = ErrorReport::DescribeCurrentException();
        }
        job->toWindow([this, job, ended, failure] {
            ended(Ending{failure, job->stop_.load()});
            finish();
        });
    });
}

void ListJobs::handOver(std::function<void()> step) {
    bool first = false;
    {
        std::lock_guard<std::mutex> hold(handedLock_);
        first = handed_.empty();
        handed_.push_back(std::move(step));
    }
    // One call runs everything handed over until it comes.
    if (first) QMetaObject::invokeMethod(this, "deliver", Qt::QueuedConnection);
}

void ListJobs::deliver() {
    std::vector<std::function<void()>> steps;
    {
        std::lock_guard<std::mutex> hold(handedLock_);
        steps.swap(handed_);
    }
    for (std::function<void()>& step : steps) step();
}

void ListJobs::stopAll() {
    if (running_) running_->stop_ = true;
    for (const Waiting& w : waiting_) w.job->stop_ = true;
}

void ListJobs::waitAll() {
    worker_.drain();
    waiting_.clear();
}

void ListJobs::finish() {
    running_ = {};
    if (!waiting_.empty()) runNext();
    else emit idle();
}
