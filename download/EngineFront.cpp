// The engine's front: what other threads call while the loop works (the queue, the figures,
// the outcomes, a cancel), behind the scheduler's one lock.
#include "download/DownloadEngine.h"
#include "download/AnswerNaming.h"
#include "download/EngineItem.h"
#include "download/KeptPartials.h"
#include "download/Publisher.h"

#include <curl/curl.h>

#include <algorithm>

namespace Download {

namespace {
CURLM* multiOf(void* multi) { return static_cast<CURLM*>(multi); }

// Adapts a plain "want more" callback to a listener.
struct WantMoreOnly : Engine::Listener {
    explicit WantMoreOnly(const std::function<void()>& f) : f(f) {}
    void onWantMore() override {
        if (f) f();
    }
    const std::function<void()>& f;
};
}  // namespace


Engine::Engine(TransferLimits limits)
    : limits_(std::move(limits)),
      naming_(std::make_unique<AnswerNaming>()),
      publisher_(std::make_unique<Publisher>(
          naming_->memo(), [this](int index, ItemOutcome outcome) { setOutcome(index, std::move(outcome)); },
          [this] {
              if (multi_) curl_multi_wakeup(multiOf(multi_));
          })),
      partials_(std::make_unique<KeptPartials>(*publisher_)) {
    CurlGlobalInit();
    multi_ = curl_multi_init();
}

Engine::~Engine() {
    finishRun();
    for (auto& a : active_)
        if (a->inMulti) curl_multi_remove_handle(multiOf(multi_), a->transfer->easy());
    active_.clear();
    parked_.clear();
    partials_.reset();
    publisher_.reset();
    if (multi_) curl_multi_cleanup(multiOf(multi_));
}

void Engine::setSyncEachFile(bool on) { publisher_->setSyncEachFile(on); }
void Engine::setTemporaryMethod(TemporaryMethod method) { publisher_->setTemporaryMethod(method); }
void Engine::setNaming(bool serverNames, bool skipExisting) { naming_->setOptions(serverNames, skipExisting); }

void Engine::setMaxTransfers(int count) { maxTransfers_ = std::clamp(count, 1, kMostAtOnce); }

void Engine::beginRun() {
    finishRun();
    naming_->beginRun();
    publisher_->beginRun();
    partials_->beginRun();
    hostPause_.clear();
    hosts_.forgetProtocols();
    cancelled_ = false;
    movedByEnded_ = 0;
    current_ = -1;
    std::lock_guard<std::mutex> hold(lock_);
    figures_ = RunFigures{};
    queue_.clear();
    inputEnded_ = false;
    moreWanted_ = false;
}

Main::NamingContext Engine::namingContext() { return naming_->context(); }

void Engine::cancel() {
    cancelled_ = true;
    if (multi_) curl_multi_wakeup(multiOf(multi_));
}

std::vector<ItemOutcome> Engine::finishRun() {
    publisher_->drain();
    std::lock_guard<std::mutex> hold(lock_);
    listener_ = nullptr;
    std::vector<ItemOutcome> done;
    done.swap(outcomes_);
    return done;
}

void Engine::setOutcome(int index, ItemOutcome outcome) {
    Listener* listener = nullptr;
    {
        std::lock_guard<std::mutex> hold(lock_);
        outcomes_[static_cast<std::size_t>(index)] = outcome;
        listener = listener_;
    }
    // Told outside the lock: a listener may well ask the engine something in turn.
    if (listener) listener->onItemOutcome(index, outcome);
}

int Engine::enqueue(const QString& url, const QString& base) {
    int index;
    {
        std::lock_guard<std::mutex> hold(lock_);
        index = static_cast<int>(outcomes_.size());
        outcomes_.emplace_back();
        queue_.push_back(Queued{index, url, base, Transfer::HostOf(FetchAddress(url)), QString()});
        moreWanted_ = false;
    }
    curl_multi_wakeup(multiOf(multi_));
    return index;
}

std::vector<int> Engine::withdrawQueued() {
    std::deque<Queued> taken;
    std::lock_guard<std::mutex> hold(lock_);
    taken.swap(queue_);
    moreWanted_ = false;
    std::vector<int> indices;
    indices.reserve(taken.size());
    for (const Queued& item : taken)
        if (!item.target.isEmpty()) naming_->givenBack(item.base, item.target);
    for (const Queued& item : taken) {
        outcomes_[static_cast<std::size_t>(item.index)].reason = QStringLiteral("Withdrawn");
        indices.push_back(item.index);
    }
    return indices;
}

int Engine::queued() {
    std::lock_guard<std::mutex> hold(lock_);
    return static_cast<int>(queue_.size());
}

void Engine::endInput() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        inputEnded_ = true;
    }
    curl_multi_wakeup(multiOf(multi_));
}

int Engine::fetchItem(const QString& url, const QString& base, const QString& target) {
    int index;
    {
        std::lock_guard<std::mutex> hold(lock_);
        index = static_cast<int>(outcomes_.size());
        outcomes_.emplace_back();
        queue_.push_back(Queued{index, url, base, Transfer::HostOf(FetchAddress(url)), target});
    }
    Listener quiet;
    drive(quiet, index);
    return index;
}

void Engine::runQueue(const std::function<void()>& wantMore) {
    WantMoreOnly listener(wantMore);
    drive(listener, -1);
}

void Engine::runQueue(Listener& listener) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        listener_ = &listener;
    }
    drive(listener, -1);
}

RunFigures Engine::figures() const {
    std::lock_guard<std::mutex> hold(lock_);
    return figures_;
}

QString NamingText(const QString& url) {
    QString text = url;
    text.replace(QLatin1Char('\\'), Main::kNativeSeparator);
    return text;
}

}  // namespace Download
