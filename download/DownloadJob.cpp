#include "download/DownloadJob.h"

#include <QDir>
#include <QFileInfo>
#include <QMetaObject>

#include <algorithm>
#include <optional>
#include <utility>

#include "download/Address.h"
#include "download/ChecksumFiles.h"
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
        if (Checksum::MayBeChecksumFile(item.text)) checksumUrls_ << item.text;
        const EntryId entry = item.entry;
        waiting_.emplace_hint(waiting_.end(), entry, Pending{std::move(item), recordIndex++});
    }
    if (recorder_) recorder_->begin(folder_, entries, pages);
}

DownloadJob::~DownloadJob() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    engine_.cancel();
    if (checksumEngine_) checksumEngine_->cancel();
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
    engine_.setSkipUnchanged(options_.skipUnchanged);
    engine_.setRequests(options_.requests);
    feed();
    if (!checksumUrls_.isEmpty()) {
        checksumEngine_ = std::make_unique<Engine>();
        checksumEngine_->setRequests(options_.requests);
    }
    thread_ = std::thread([this] {
        if (checksumEngine_) {
            // The queued items begin only once runQueue() turns: their digests are known by then.
            Checksum::Prepared prepared = Checksum::FetchChecksumFiles(*checksumEngine_, checksumUrls_);
            checksumProblems_ = std::move(prepared.problems);
            engine_.setChecksumBook(std::move(prepared.book));
        }
        engine_.runQueue(*bridge_);
        engine_.setChecksumBook(nullptr);
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
    if (checksumEngine_) checksumEngine_->cancel();
    showProgress();
}

void DownloadJob::strikeFromRecord(int recordIndex) {
    if (recorder_ && recordIndex >= 0) recorder_->stored(recordIndex);
}

int DownloadJob::feed() {
    int handed = 0;
    while (handed < kLookAhead && !stopping_ && !waiting_.empty()) {
        Pending next = std::move(waiting_.begin()->second);
        waiting_.erase(waiting_.begin());
        // Fetched and named from the same text; named in its place in the list.
        const QString url = FetchAddress(next.item.text);
        const QString base = Main::BuildTargetPath(NamingText(url), folder_);
        const int index = engine_.enqueue(url, base, RefererFor(next.item.page, url), next.item.entry, next.item.digest);
        if (index >= static_cast<int>(handed_.size())) handed_.resize(static_cast<std::size_t>(index) + 1);
        Handed& item = handed_[static_cast<std::size_t>(index)];
        item.entry = next.item.entry;
        item.text = std::move(next.item.text);
        item.page = std::move(next.item.page);
        item.digest = std::move(next.item.digest);
        item.recordIndex = next.recordIndex;
        indexOf_[item.entry] = index;
        queuedInEngine_.insert(item.entry);
        ++handedLive_;
        ++handed;
    }
    return handed;
}

// After the waiting entries changed: when one now comes before an entry handed out and not
// begun, those are taken back so that the queue is in list order again; else entries that wait
// (resumed, tried again, added) are handed out as the engine's queue runs low, since it asks only
// once until it is given more.
void DownloadJob::settleQueue() {
    if (!steerable() || waiting_.empty()) return;
    if (!queuedInEngine_.empty() && waiting_.begin()->first < *queuedInEngine_.rbegin()) return takeBack(true);
    if (engine_.queued() < kLookAhead / 2) feed();
}

// Entries handed to the engine but not begun go back among the waiting ones; handing out again
// waits for the next pass of events, so that a filter removing a thousand runs of rows costs one,
// and the queue is in list order again (an entry put before them, or moved).
void DownloadJob::takeBack(bool refeedNow) {
    const std::vector<int> withdrawn = engine_.withdrawQueued();
    for (const int index : withdrawn) {
        Handed& item = handed_[static_cast<std::size_t>(index)];
        item.withdrawn = true;
        --handedLive_;
        indexOf_.erase(item.entry);
        queuedInEngine_.erase(item.entry);
        Pending back{JobItem{item.entry, std::move(item.text), std::move(item.page), std::move(item.digest)}, item.recordIndex};
        // A command that came while it was handed out applies to it now.
        if (item.wanted == Wanted::Withdraw) {
            ++removedBeforeReached_;
            strikeFromRecord(item.recordIndex);
        } else if (item.wanted == Wanted::Pause) {
            held_.emplace(item.entry, std::move(back));
            emit itemHeld(item.entry, -1);
        } else {
            waiting_.emplace(item.entry, std::move(back));
        }
    }
    // Put in order again at once, so that what begins next is the entry put before the others.
    if (refeedNow) {
        feed();
        return;
    }
    if (refeedPosted_) return;
    refeedPosted_ = true;
    QMetaObject::invokeMethod(this, [this] {
        refeedPosted_ = false;
        if (steerable()) feed();
    }, Qt::QueuedConnection);
}

// The run ends once nothing waits, nothing is handed out and not begun, and nothing is held
// (a held item may be resumed: Stop ends a run that holds some).
void DownloadJob::endInputWhenDone() {
    if (inputEnded_ || stopping_ || !waiting_.empty() || !held_.empty() || engine_.queued() > 0) return;
    inputEnded_ = true;
    engine_.endInput();
}

DownloadJob::Handed* DownloadJob::handedOf(EntryId entry) {
    const auto at = indexOf_.find(entry);
    return at == indexOf_.end() ? nullptr : &handed_[static_cast<std::size_t>(at->second)];
}

void DownloadJob::withdraw(const std::vector<EntryId>& entries) {
    if (!steerable()) {
        // Taken off the list after the run came to its end or was stopped: nothing to do, but a
        // waiting entry is no longer one the run did not reach.
        if (started_ && !ended_) {
            for (const EntryId entry : entries) {
                auto node = waiting_.extract(entry);
                if (node.empty()) continue;
                ++removedBeforeReached_;
                strikeFromRecord(node.mapped().recordIndex);
            }
        }
        return;
    }
    bool queued = false, endAfter = false;
    for (const EntryId entry : entries) {
        if (auto node = waiting_.extract(entry); !node.empty()) {
            // Taken off the list before the run came to it: not fetched, and not offered back.
            ++removedBeforeReached_;
            strikeFromRecord(node.mapped().recordIndex);
            continue;
        }
        if (auto node = held_.extract(entry); !node.empty()) {
            ++removedDuringRun_;
            strikeFromRecord(node.mapped().recordIndex);
            endAfter = true;
            continue;
        }
        Handed* item = handedOf(entry);
        if (!item || item->ended || item->superseded) continue;
        item->wanted = Wanted::Withdraw;
        if (item->begun)
            engine_.command(indexOf_[entry], Engine::ItemCommand::Withdraw);
        else
            queued = true;  // unless it begins meanwhile: then started() sends the command
    }
    if (queued) takeBack();
    // The last held entry gone: a run that has nothing else left ends.
    if (endAfter && engine_.queued() == 0) endInputWhenDone();
}

void DownloadJob::pause(const std::vector<EntryId>& entries) {
    if (!steerable()) return;
    bool queued = false;
    for (const EntryId entry : entries) {
        if (auto node = waiting_.extract(entry); !node.empty()) {
            held_.insert(std::move(node));
            emit itemHeld(entry, -1);
            continue;
        }
        Handed* item = handedOf(entry);
        if (!item || item->ended || item->superseded || item->wanted != Wanted::Nothing) continue;
        item->wanted = Wanted::Pause;
        if (item->begun)
            engine_.command(indexOf_[entry], Engine::ItemCommand::Pause);
        else
            queued = true;
    }
    if (queued) takeBack();
}

// An ended (or held) item's entry waits again in its place; its old outcome is no longer the
// entry's.
void DownloadJob::requeue(Handed& item) {
    item.superseded = true;
    --handedLive_;
    indexOf_.erase(item.entry);
    waiting_.emplace(item.entry, Pending{JobItem{item.entry, item.text, item.page, item.digest}, item.recordIndex});
    emit itemQueued(item.entry);
}

void DownloadJob::resume(std::vector<JobItem> items) {
    if (!steerable()) return;
    std::vector<JobItem> joining;
    for (JobItem& wanted : items) {
        if (auto node = held_.extract(wanted.entry); !node.empty()) {
            const EntryId entry = wanted.entry;
            waiting_.insert(std::move(node));
            emit itemQueued(entry);
            continue;
        }
        if (handedOf(wanted.entry) || waiting_.count(wanted.entry) > 0) {
            // Paused while it was being handed out: the pause is taken back.
            if (Handed* item = handedOf(wanted.entry); item && !item->ended && item->wanted == Wanted::Pause && !item->begun)
                item->wanted = Wanted::Nothing;
            continue;
        }
        joining.push_back(std::move(wanted));
    }
    if (!joining.empty()) append(std::move(joining));
    settleQueue();
}

void DownloadJob::retry(std::vector<JobItem> items) {
    if (!steerable()) return;
    std::vector<JobItem> joining;
    for (JobItem& wanted : items) {
        if (waiting_.count(wanted.entry) > 0 || held_.count(wanted.entry) > 0) continue;
        Handed* item = handedOf(wanted.entry);
        if (!item) {
            joining.push_back(std::move(wanted));
            continue;
        }
        if (item->superseded || item->wanted != Wanted::Nothing) continue;
        if (!item->ended) {
            // Under way: one waiting for its next try goes now; any other goes on as it is.
            if (item->begun) engine_.command(indexOf_[wanted.entry], Engine::ItemCommand::RetryNow);
            continue;
        }
        const ItemOutcome& was = item->outcome;
        if (was.stored || was.skipped || was.cancelled) continue;
        requeue(*item);
    }
    if (!joining.empty()) append(std::move(joining));
    settleQueue();
}

void DownloadJob::renumber(const std::vector<std::pair<EntryId, EntryId>>& changes) {
    if (!started_ || ended_ || changes.empty()) return;
    // The changes are a permutation of the ids they name: every entry they touch is taken out
    // before any goes back under its new id.
    std::vector<std::pair<EntryId, Pending>> waiting, held;
    std::vector<std::pair<EntryId, int>> handed;
    for (const auto& [from, to] : changes) {
        if (auto node = waiting_.extract(from); !node.empty()) waiting.emplace_back(to, std::move(node.mapped()));
        if (auto node = held_.extract(from); !node.empty()) held.emplace_back(to, std::move(node.mapped()));
        if (const auto at = indexOf_.find(from); at != indexOf_.end()) {
            handed.emplace_back(to, at->second);
            indexOf_.erase(at);
        }
    }
    for (auto& [to, pending] : waiting) {
        pending.item.entry = to;
        waiting_.emplace(to, std::move(pending));
    }
    for (auto& [to, pending] : held) {
        pending.item.entry = to;
        held_.emplace(to, std::move(pending));
    }
    std::vector<EntryId> queued;
    for (const auto& [to, index] : handed) {
        Handed& item = handed_[static_cast<std::size_t>(index)];
        if (queuedInEngine_.erase(item.entry) > 0) queued.push_back(to);
        item.entry = to;
        indexOf_[to] = index;
    }
    queuedInEngine_.insert(queued.begin(), queued.end());
    // Entries handed out and not begun may have changed places with each other as well.
    if (!queued.empty() && steerable()) return takeBack();
    settleQueue();
}

void DownloadJob::append(std::vector<JobItem> items) {
    // Once nothing more begins (stopped, or the run ended), rows added are not reached.
    if (!started_ || ended_) return;
    for (JobItem& item : items) {
        const EntryId entry = item.entry;
        if (waiting_.count(entry) > 0 || held_.count(entry) > 0 || handedOf(entry)) continue;
        const int recordIndex = recorder_ ? recorder_->add(item.text, item.page) : -1;
        waiting_.emplace(entry, Pending{std::move(item), recordIndex});
    }
    settleQueue();
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
        if (feed() == 0) endInputWhenDone();
    } else if (!runOver) {
        settleQueue();
    }
    if (progressed && !runOver) showProgress();
    if (runOver) runEnded();
}

void DownloadJob::started(int index) {
    if (index < 0 || index >= static_cast<int>(handed_.size())) return;
    Handed& item = handed_[static_cast<std::size_t>(index)];
    item.begun = true;
    queuedInEngine_.erase(item.entry);
    // Paused or removed while it was being handed out.
    if (item.wanted == Wanted::Pause) engine_.command(index, Engine::ItemCommand::Pause);
    if (item.wanted == Wanted::Withdraw) engine_.command(index, Engine::ItemCommand::Withdraw);
    emit itemStarted(item.entry, ShownName(item.text));
}

void DownloadJob::ended(int index, ItemOutcome outcome) {
    if (index < 0 || index >= static_cast<int>(handed_.size())) return;
    Handed& item = handed_[static_cast<std::size_t>(index)];
    item.ended = true;
    item.outcome = std::move(outcome);
    if (item.outcome.stored || item.outcome.skipped) strikeFromRecord(item.recordIndex);
    emit itemFinished(item.entry, item.outcome);
    // A command came too late when the item ended otherwise (stored, failed): the outcome stands.
    if (!item.outcome.cancelled || stopping_ || item.wanted == Wanted::Nothing) return;
    item.superseded = true;
    --handedLive_;
    indexOf_.erase(item.entry);
    if (item.wanted == Wanted::Withdraw) {
        ++removedDuringRun_;
        strikeFromRecord(item.recordIndex);
        return;
    }
    const qint64 kept = item.outcome.paused ? item.outcome.bytes : -1;
    held_.emplace(item.entry, Pending{JobItem{item.entry, item.text, item.page, item.digest}, item.recordIndex, kept});
    emit itemHeld(item.entry, kept);
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
    const int waiting = static_cast<int>(waiting_.size());
    figures.items = handedLive_ + waiting + static_cast<int>(held_.size());
    figures.allBegun = waiting == 0 && engine_.queued() == 0;
    emit progress(figures);
}

void DownloadJob::runEnded() {
    if (thread_.joinable()) thread_.join();
    ended_ = true;
    JobResult closing;
    closing.stopped = stopping_;
    for (const Handed& item : handed_) {
        if (item.withdrawn || item.superseded) continue;
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
    for (const auto& [entry, waiting] : waiting_) closing.notReached.push_back(entry);
    std::sort(closing.notReached.begin(), closing.notReached.end());
    for (const auto& [entry, held] : held_) closing.summary.addHeld(held.kept);
    for (const QString& problem : checksumProblems_) closing.summary.addNote(problem);
    closing.summary.setStopped(stopping_);
    closing.summary.addNotReached(static_cast<int>(closing.notReached.size()));
    closing.summary.addRemovedBeforeReached(removedBeforeReached_);
    closing.summary.addRemovedDuringRun(removedDuringRun_);
    // A run that went to its end leaves nothing to offer back but what the user held; a stopped
    // one keeps its record.
    if (recorder_) {
        if (stopping_ || !held_.empty())
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
