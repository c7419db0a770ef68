// The engine's front: what other threads call while the loop works (the queue, the figures,
// the outcomes, a cancel), behind the scheduler's one lock.
#include "download/DownloadEngine.h"

#include <QCoreApplication>
#include "download/AnswerNaming.h"
#include "download/EngineItem.h"
#include "download/KeptPartials.h"
#include "download/Publisher.h"
#include "download/Splitting.h"
#include "download/StoredRecord.h"

#include <curl/curl.h>

#include <algorithm>
#include <utility>

namespace Download {

namespace {

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
              if (multi_) curl_multi_wakeup(MultiOf(multi_));
          })),
      partials_(std::make_unique<KeptPartials>(*publisher_)) {
    CurlGlobalInit();
    multi_ = curl_multi_init();
}

Engine::~Engine() {
    finishRun();
    for (auto& a : active_)
        if (a->inMulti) curl_multi_remove_handle(MultiOf(multi_), a->transfer->easy());
    active_.clear();
    parked_.clear();
    partials_.reset();
    publisher_.reset();
    if (multi_) curl_multi_cleanup(MultiOf(multi_));
}

void Engine::setSyncEachFile(bool on) { publisher_->setSyncEachFile(on); }
void Engine::setTemporaryMethod(TemporaryMethod method) { publisher_->setTemporaryMethod(method); }
void Engine::setNaming(bool serverNames, bool skipExisting) { naming_->setOptions(serverNames, skipExisting); }

void Engine::setSkipUnchanged(bool on) { stored_ = on ? std::make_shared<StoredRecords>() : nullptr; }

void Engine::setMaxTransfers(int count) { maxTransfers_ = std::clamp(count, 1, kMostAtOnce); }

void Engine::beginRun() {
    resetRun();
    cancelled_ = false;
}

void Engine::expectItems(std::size_t count) {
    std::lock_guard<std::mutex> hold(lock_);
    outcomes_.reserve(outcomes_.size() + count);
}

// All but a cancel, which only beginRun() lifts.
void Engine::resetRun() {
    finishRun();
    naming_->beginRun();
    publisher_->beginRun();
    partials_->beginRun();
    hostPause_.clear();
    hosts_.forgetProtocols();
    movedByEnded_ = 0;
    current_ = -1;
    std::lock_guard<std::mutex> hold(lock_);
    figures_ = RunFigures{};
    queue_.clear();
    commands_.clear();
    inputEnded_ = false;
    moreWanted_ = false;
    wakeAsked_ = false;
}

Main::NamingContext Engine::namingContext() { return naming_->context(); }

void Engine::cancel() {
    cancelled_ = true;
    if (multi_) curl_multi_wakeup(MultiOf(multi_));
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

int Engine::enqueue(const QString& url, const QString& base, const QByteArray& referer, qint64 rank,
                    std::optional<Checksum::Digest> digest) {
    return enqueueRead(url, Address(url), base, referer, rank, std::move(digest));
}

int Engine::enqueue(Address address, const QString& base, const QByteArray& referer, qint64 rank,
                    std::optional<Checksum::Digest> digest) {
    QString url = address.fetch();
    return enqueueRead(std::move(url), std::move(address), base, referer, rank, std::move(digest));
}

int Engine::enqueueRead(QString url, Address address, const QString& base, const QByteArray& referer, qint64 rank,
                        std::optional<Checksum::Digest> digest) {
    int index;
    bool wake = false;
    // Read before the loop's lock is taken.
    Queued item{0, std::move(url), base, address.server(), -1, nullptr, referer, rank, std::move(digest)};
    item.address = std::move(address);
    {
        std::lock_guard<std::mutex> hold(lock_);
        index = static_cast<int>(outcomes_.size());
        outcomes_.emplace_back();
        item.index = index;
        if (item.rank < 0) item.rank = index;
        queue_.push_back(std::move(item));
        moreWanted_ = false;
        wake = !std::exchange(wakeAsked_, true);
    }
    if (wake) curl_multi_wakeup(MultiOf(multi_));
    return index;
}

void Engine::command(int index, ItemCommand what) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> hold(lock_);
        commands_.emplace_back(index, what);
        wake = !std::exchange(wakeAsked_, true);
    }
    if (wake && multi_) curl_multi_wakeup(MultiOf(multi_));
}

std::vector<int> Engine::withdrawQueued() {
    std::deque<Queued> taken;
    std::lock_guard<std::mutex> hold(lock_);
    taken.swap(queue_);
    moreWanted_ = false;
    std::vector<int> indices;
    indices.reserve(taken.size());
    for (const Queued& item : taken) {
        outcomes_[static_cast<std::size_t>(item.index)].reason = QCoreApplication::translate("DownloadEngine", "Withdrawn");
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
    curl_multi_wakeup(MultiOf(multi_));
}

Fw::Result<TransferInfo> Engine::fetchInto(const QString& url, int fd, TransferProgress* progress) {
    resetRun();
    {
        std::lock_guard<std::mutex> hold(lock_);
        outcomes_.emplace_back();
        Queued item{0, url, QString(), QString(), fd, progress};
        item.address = Address(url);
        item.host = item.address.server();
        queue_.push_back(std::move(item));
        inputEnded_ = true;
    }
    intoResult_ = Fw::Error::failed({});
    runQueue(std::function<void()>());
    const ItemOutcome outcome = finishRun().at(0);
    if (outcome.cancelled) return Fw::Error::cancelled();
    if (outcome.stored) return intoResult_;
    if (!intoResult_ && !intoResult_.error().text.isEmpty()) return intoResult_;
    return Fw::Error::failed(outcome.reason);
}

void Engine::runQueue(const std::function<void()>& wantMore) {
    WantMoreOnly listener(wantMore);
    drive(listener);
}

void Engine::runQueue(Listener& listener) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        listener_ = &listener;
    }
    drive(listener);
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

// The snapshot the figures are taken from, made by the loop after each change.
void Engine::publishFigures() {
    RunFigures f;
    f.underWay = static_cast<int>(active_.size());
    f.bytesMoved = movedByEnded_;
    qint64 left = 0;
    for (const auto& a : active_) {
        qint64 received = a->transfer->received();
        const qint64 total = a->transfer->total();
        f.bytesMoved += a->transfer->bytesMoved();
        if (a->split) {
            received = 0;
            for (const ByteRange& r : a->split->plan.written()) received += r.size();
            f.bytesMoved += a->split->movedByEnded;
            for (const auto& piece : a->split->pieces) f.bytesMoved += piece->bytesMoved();
        }
        if (total > 0) {
            f.underWayShare += std::min(1.0, double(received) / double(total));
            if (left >= 0) left += std::max<qint64>(0, total - received);
        } else {
            left = -1;
        }
        if (f.earliest < 0 || a->index < f.earliest) {
            f.earliest = a->index;
            f.earliestReceived = received;
            f.earliestTotal = total;
            f.earliestAttempt = a->progress.attempt.load(std::memory_order_relaxed);
            f.earliestRetryAtMs = a->retryAtMs > 0 ? a->retryAtMs : 0;
        }
        ItemFigures item;
        item.index = a->index;
        item.received = received;
        item.total = total;
        item.attempt = a->progress.attempt.load(std::memory_order_relaxed);
        item.retryAtMs = a->retryAtMs > 0 ? a->retryAtMs : 0;
        if (a->named) item.name = Main::FileNameOf(a->job.target, Main::kNativeSeparator);
        f.items.push_back(std::move(item));
    }
    std::sort(f.items.begin(), f.items.end(), [](const ItemFigures& x, const ItemFigures& y) { return x.index < y.index; });
    f.bytesLeft = left;
    current_.store(f.earliest, std::memory_order_relaxed);
    std::lock_guard<std::mutex> hold(lock_);
    f.finished = figures_.finished;
    figures_ = f;
}

}  // namespace Download
