#include "download/DownloadJob.h"

#include <QDir>
#include <QFileInfo>
#include <QMetaObject>

#include <algorithm>
#include <optional>
#include <utility>

#include "download/Address.h"
#include "download/TargetNaming.h"
#include "download/UnfinishedWork.h"
#include "support/PathHelpers.h"
#include "download/FileNaming.h"

namespace Download {

namespace {
// How many entries the engine is handed ahead of its transfers: enough that it never waits for
// the job, few enough that a row removed meanwhile is cheap to take back.
constexpr int kLookAhead = 48;
}  // namespace

// The engine's threads only append to a batch here; the first event of a batch posts one drain
// to the job's thread, so a run of many small files costs one queued call per batch, not per item.
class DownloadJob::Bridge : public Engine::Listener {
public:
    struct Event {
        enum Kind { WantMore, Started, Outcome, Progress, RunEnded } kind = WantMore;
        int index = -1;
        ItemOutcome outcome;
    };

    explicit Bridge(DownloadJob& job) : job_(job) {}

    void onWantMore() override { push({Event::WantMore, -1, {}}); }
    void onItemStarted(int index) override { push({Event::Started, index, {}}); }
    void onProgress() override { push({Event::Progress, -1, {}}); }
    void onItemOutcome(int index, const ItemOutcome& outcome) override { push({Event::Outcome, index, outcome}); }
    void runEnded() { push({Event::RunEnded, -1, {}}); }

    std::vector<Event> take() {
        std::lock_guard<std::mutex> hold(lock_);
        posted_ = false;
        return std::exchange(events_, {});
    }

private:
    void push(Event event) {
        bool post = false;
        {
            std::lock_guard<std::mutex> hold(lock_);
            events_.push_back(std::move(event));
            post = !posted_;
            posted_ = true;
        }
        // Dropped with the job when it is gone; its destructor reads the engine's last word itself.
        if (post) QMetaObject::invokeMethod(&job_, "drain", Qt::QueuedConnection);
    }

    DownloadJob& job_;
    std::mutex lock_;
    std::vector<Event> events_;
    bool posted_ = false;
};

DownloadJob::DownloadJob(Engine& engine, QString folder, std::vector<JobItem> items, JobOptions options,
                         std::shared_ptr<UnfinishedRunRecorder> recorder, QObject* parent)
    : QObject(parent),
      engine_(engine),
      folder_(std::move(folder)),
      options_(options),
      recorder_(std::move(recorder)),
      bridge_(std::make_unique<Bridge>(*this)) {
    static const int registered = [] {
        qRegisterMetaType<Download::JobFigures>();
        qRegisterMetaType<Download::JobResult>();
        qRegisterMetaType<Download::ItemOutcome>();
        return 0;
    }();
    (void)registered;
    // What is not stored yet is recorded while the run goes, so that a run cut short by Stop, a
    // close or a crash can be offered back at the next start.
    QStringList entries, pages;
    entries.reserve(static_cast<qsizetype>(items.size()));
    pages.reserve(static_cast<qsizetype>(items.size()));
    int recordIndex = 0;
    for (JobItem& item : items) {
        entries << item.text;
        pages << item.page;
        pending_.push_back(Pending{std::move(item), recordIndex++});
    }
    if (recorder_) recorder_->begin(folder_, entries, pages);
}

DownloadJob::~DownloadJob() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    engine_.cancel();
    thread_.join();
    // Files complete before the stop were named while the engine wound down; whatever of that
    // never reached drain() is read from the engine's last word.
    for (std::size_t index = 0; index < handed_.size() && index < final_.size(); ++index) {
        const Handed& item = handed_[index];
        if (item.withdrawn || item.ended) continue;
        if (final_[index].stored || final_[index].skipped) strikeFromRecord(item.recordIndex);
    }
    if (recorder_) recorder_->flush();
}

void DownloadJob::start() {
    if (started_) return;
    started_ = true;
    engine_.beginRun();
    engine_.setMaxTransfers(options_.atOnce);
    engine_.setSpeedLimit(options_.speedLimit);
    engine_.setSplitBigFiles(options_.splitBigFiles);
    engine_.setNaming(options_.serverNames, options_.skipExisting);
    engine_.setRequests(options_.requests);
    feed();
    thread_ = std::thread([this] {
        engine_.runQueue(*bridge_);
        // Stopped: what was queued and not begun is not reached.
        engine_.withdrawQueued();
        final_ = engine_.finishRun();
        bridge_->runEnded();
    });
}

void DownloadJob::stop() {
    if (!started_ || ended_ || stopping_) return;
    stopping_ = true;
    engine_.cancel();
    showProgress();
}

void DownloadJob::strikeFromRecord(int recordIndex) {
    if (recorder_ && recordIndex >= 0) recorder_->stored(recordIndex);
}

int DownloadJob::feed() {
    int handed = 0;
    while (handed < kLookAhead && !stopping_ && !pending_.empty()) {
        Pending next = std::move(pending_.front());
        pending_.pop_front();
        if (skippedPending_.erase(next.item.entry) > 0) {
            // Taken off the list before the run came to it: not fetched, and not offered back.
            --skippedInPending_;
            ++removedBeforeReached_;
            strikeFromRecord(next.recordIndex);
            continue;
        }
        // Fetched and named from the same text.
        const QString url = FetchAddress(next.item.text);
        const QString base = Main::BuildTargetPath(NamingText(url), folder_);
        const int index = engine_.enqueue(url, base, RefererFor(next.item.page, url));
        if (index >= static_cast<int>(handed_.size())) handed_.resize(static_cast<std::size_t>(index) + 1);
        Handed& item = handed_[static_cast<std::size_t>(index)];
        item.entry = next.item.entry;
        item.text = std::move(next.item.text);
        item.page = std::move(next.item.page);
        item.recordIndex = next.recordIndex;
        indexOf_[item.entry] = index;
        ++handedLive_;
        ++handed;
    }
    return handed;
}

// Entries handed to the engine but not begun go back to the head of the waiting ones; handing
// out again waits for the next pass of events, so that a filter removing a thousand runs of rows
// costs one.
void DownloadJob::takeBack() {
    const std::vector<int> withdrawn = engine_.withdrawQueued();
    for (auto it = withdrawn.rbegin(); it != withdrawn.rend(); ++it) {
        Handed& item = handed_[static_cast<std::size_t>(*it)];
        item.withdrawn = true;
        --handedLive_;
        indexOf_.erase(item.entry);
        if (skippedPending_.count(item.entry) > 0) ++skippedInPending_;
        pending_.push_front(Pending{JobItem{item.entry, std::move(item.text), std::move(item.page)}, item.recordIndex});
    }
    if (withdrawn.empty() || refeedPosted_) return;
    refeedPosted_ = true;
    QMetaObject::invokeMethod(this, [this] {
        refeedPosted_ = false;
        if (!inputEnded_ && !ended_) feed();
    }, Qt::QueuedConnection);
}

void DownloadJob::skip(const std::vector<EntryId>& entries) {
    if (!started_ || ended_) return;
    bool queued = false;
    for (const EntryId entry : entries) {
        const auto at = indexOf_.find(entry);
        if (at == indexOf_.end()) {
            if (skippedPending_.insert(entry).second) ++skippedInPending_;
        } else if (!handed_[static_cast<std::size_t>(at->second)].begun) {
            // Counted once it is back among the waiting ones; an item that began meanwhile goes on.
            skippedPending_.insert(entry);
            queued = true;
        }
    }
    if (queued) takeBack();
}

void DownloadJob::append(std::vector<JobItem> items) {
    // Once nothing more begins (stopped, or the input ended), rows added are not reached.
    if (!started_ || ended_) return;
    for (JobItem& item : items) {
        const int recordIndex = recorder_ ? recorder_->add(item.text, item.page) : -1;
        pending_.push_back(Pending{std::move(item), recordIndex});
    }
}

void DownloadJob::drain() {
    bool wantMore = false, progressed = false, runOver = false;
    for (Bridge::Event& event : bridge_->take()) {
        switch (event.kind) {
        case Bridge::Event::WantMore: wantMore = true; break;
        case Bridge::Event::Started: started(event.index); break;
        case Bridge::Event::Outcome: ended(event.index, std::move(event.outcome)); break;
        case Bridge::Event::Progress: progressed = true; break;
        case Bridge::Event::RunEnded: runOver = true; break;
        }
    }
    // The list has nothing more: the input ends once everything handed out has begun (the engine
    // asks again when its queue is empty), so that what is queued can still be taken back.
    if (wantMore && !inputEnded_ && !stopping_ && !runOver) {
        if (feed() == 0 && engine_.queued() == 0) {
            inputEnded_ = true;
            engine_.endInput();
        }
    }
    if (progressed && !runOver) showProgress();
    if (runOver) runEnded();
}

void DownloadJob::started(int index) {
    if (index < 0 || index >= static_cast<int>(handed_.size())) return;
    Handed& item = handed_[static_cast<std::size_t>(index)];
    item.begun = true;
    emit itemStarted(item.entry, ShownName(item.text));
}

void DownloadJob::ended(int index, ItemOutcome outcome) {
    if (index < 0 || index >= static_cast<int>(handed_.size())) return;
    Handed& item = handed_[static_cast<std::size_t>(index)];
    item.ended = true;
    item.outcome = std::move(outcome);
    if (item.outcome.stored || item.outcome.skipped) strikeFromRecord(item.recordIndex);
    emit itemFinished(item.entry, item.outcome);
}

void DownloadJob::showProgress() {
    JobFigures figures;
    figures.run = engine_.figures();
    figures.entries.reserve(figures.run.items.size());
    for (const ItemFigures& under : figures.run.items) {
        const bool known = under.index >= 0 && under.index < static_cast<int>(handed_.size());
        figures.entries.push_back(known ? handed_[static_cast<std::size_t>(under.index)].entry : 0);
        if (!known) continue;
        Handed& item = handed_[static_cast<std::size_t>(under.index)];
        if (!under.name.isEmpty() && !item.named) {
            item.named = true;
            emit itemNamed(item.entry, under.name);
        }
        emit itemProgress(item.entry, under.received, under.total);
    }
    const int earliest = figures.run.earliest;
    if (earliest >= 0 && earliest < static_cast<int>(handed_.size())) {
        figures.earliest = handed_[static_cast<std::size_t>(earliest)].entry;
        figures.earliestText = handed_[static_cast<std::size_t>(earliest)].text;
    }
    const int waiting = static_cast<int>(pending_.size()) - skippedInPending_;
    figures.items = handedLive_ + waiting;
    figures.allBegun = waiting == 0 && engine_.queued() == 0;
    emit progress(figures);
}

void DownloadJob::runEnded() {
    if (thread_.joinable()) thread_.join();
    ended_ = true;
    JobResult closing;
    closing.stopped = stopping_;
    for (const Handed& item : handed_) {
        if (item.withdrawn) continue;
        // A paused item kept its bytes: it is counted apart, not as one the run never came to.
        if (!item.ended || (item.outcome.cancelled && !item.outcome.paused)) {
            closing.notReached.push_back(item.entry);
            continue;
        }
        closing.summary.add(item.text, item.outcome);
        // The run went on into its folder wherever it was moved: say where the files are.
        if (item.outcome.stored && !item.outcome.path.isEmpty()) {
            const QString where = QFileInfo(item.outcome.path).absolutePath();
            if (QDir::cleanPath(where) != QDir::cleanPath(QDir(folder_).absolutePath())) closing.summary.setFolderMovedTo(where);
        }
    }
    for (const Pending& waiting : pending_) {
        if (skippedPending_.count(waiting.item.entry) > 0) {
            ++removedBeforeReached_;
            strikeFromRecord(waiting.recordIndex);
            continue;
        }
        closing.notReached.push_back(waiting.item.entry);
    }
    closing.summary.setStopped(stopping_);
    closing.summary.addNotReached(static_cast<int>(closing.notReached.size()));
    closing.summary.addRemovedBeforeReached(removedBeforeReached_);
    // A run that went to its end leaves nothing to offer back; a stopped one keeps its record.
    if (recorder_) {
        if (stopping_)
            recorder_->flush();
        else
            recorder_->finishedNormally();
    }
    emit result(closing);
}

QString ShownName(const QString& entryText) {
    const QString name = AddressFileName(entryText);
    return name.isEmpty() ? DisplayAddress(FetchAddress(entryText)) : name;
}

}  // namespace Download
