#include "harness/WindowCalls.h"

void WindowCalls::post(std::function<void()> step) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        posted_.push_back(std::move(step));
    }
    QMetaObject::invokeMethod(this, "runPosted", Qt::QueuedConnection);
}

void WindowCalls::runPosted() {
    std::vector<std::function<void()>> steps;
    {
        std::lock_guard<std::mutex> hold(lock_);
        steps.swap(posted_);
    }
    for (std::function<void()>& step : steps) step();
}
