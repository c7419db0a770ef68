#include "download/DownloadRun.h"

namespace Download {

Run::Run(Engine& engine, QObject* parent) : QObject(parent), engine_(engine) {}

Run::~Run() {
    if (!done_) engine_.cancel();
    finish();
    if (thread_.joinable()) thread_.join();
}

void Run::start() {
    if (!thread_.joinable()) thread_ = std::thread([this] { work(); });
}

void Run::finish() {
    std::lock_guard<std::mutex> hold(lock_);
    finishAsked_ = true;
    wake_.notify_all();
}

void Run::work() {
    engine_.runQueue(static_cast<Engine::Listener&>(*this));
    emit queueEnded();
    {
        std::unique_lock<std::mutex> hold(lock_);
        wake_.wait(hold, [&] { return finishAsked_; });
    }
    std::vector<ItemOutcome> outcomes = engine_.finishRun();
    outcomes_ = std::move(outcomes);
    done_ = true;
    emit finished();
}

}  // namespace Download
