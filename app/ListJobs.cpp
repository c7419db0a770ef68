#include "app/ListJobs.h"

#include <QtConcurrent/QtConcurrentRun>

#include "app/ErrorTrap.h"

void ListJobs::Job::toWindow(std::function<void()> step) {
    QMetaObject::invokeMethod(owner_, std::move(step), Qt::QueuedConnection);
}

ListJobs::ListJobs(QObject* parent) : QObject(parent) {}

ListJobs::~ListJobs() {
    stopAll();
    waitAll();
}

void ListJobs::start(std::function<void(Job&)> work, std::function<void(const Ending&)> ended) {
    auto job = std::make_shared<Job>();
    job->owner_ = this;
    waiting_.push_back({std::move(job), std::move(work), std::move(ended)});
    if (!running_.job) runNext();
}

void ListJobs::runNext() {
    Waiting next = std::move(waiting_.front());
    waiting_.pop_front();
    running_.job = next.job;
    running_.future = QtConcurrent::run([this, job = next.job, work = std::move(next.work), ended = std::move(next.ended)] {
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

void ListJobs::stopAll() {
    if (running_.job) running_.job->stop_ = true;
    for (const Waiting& w : waiting_) w.job->stop_ = true;
}

void ListJobs::waitAll() {
    running_.future.waitForFinished();
    waiting_.clear();
}

void ListJobs::finish() {
    running_ = {};
    if (!waiting_.empty()) runNext();
    else emit idle();
}
