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
// the job while the window paints or takes a batch (at 10,000 small files a second, half of them
// last 25 ms), few enough that a row removed meanwhile is cheap to take back.
constexpr int kLookAhead = 512;
// The engine's events are taken at most this often: a run of small files begins and ends
// thousands of items a second, and a wake-up of the window for each would cost both threads more
// than the items themselves.
constexpr qint64 kDrainEveryMs = 5;
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
    for (const JobItem& item : items) {
        entries << item.text;
        pages << item.page;
        if (Checksum::MayBeChecksumFile(item.text)) checksumUrls_ << item.text;
    }
    waiting_.adopt(std::move(items));
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
    // The list's items each get a record here and an outcome in the engine: a table grown by
    // doubling would be moved at 32,768 items, at 65,536, ..., each time on the window's thread.
    handed_.reserve(waiting_.size());
    engine_.expectItems(waiting_.size());
    engine_.setMaxTransfers(options_.atOnce);
    engine_.setSpeedLimit(options_.speedLimit);
    engine_.setSplitBigFiles(options_.splitBigFiles);
    engine_.setKeepRefusedParts(static_cast<bool>(mender_));
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
        Pending next = waiting_.popFront();
        // Fetched and named from the same text; named in its place in the list.
        Address address(next.item.text);
        const QString url = address.fetch();
        const QString base = Main::BuildTargetPath(NamingText(url), folder_);
        QString shown = ShownName(address);
        const int index = engine_.enqueue(std::move(address), base, RefererFor(next.item.page, url), next.item.entry, next.item.digest);
        shownNames_.insert_or_assign(index, std::move(shown));
        if (index >= static_cast<int>(handed_.size())) handed_.resize(static_cast<std::size_t>(index) + 1);
        Handed& item = handed_[static_cast<std::size_t>(index)];
        item.entry = next.item.entry;
        item.text = std::move(next.item.text);
        item.page = std::move(next.item.page);
        if (next.item.digest) item.digest = std::make_unique<Checksum::Digest>(std::move(*next.item.digest));
        item.recordIndex = next.recordIndex;
        // An item from a page may yet be mended: the run waits for its outcome before its input ends.
        item.mayMend = mender_ && !item.page.isEmpty() && mended_.count(item.entry) == 0;
        if (item.mayMend) ++mayMend_;
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
    if (!queuedInEngine_.empty() && waiting_.frontEntry() < *queuedInEngine_.rbegin()) return takeBack(true);
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
        if (std::exchange(item.mayMend, false)) --mayMend_;
        --handedLive_;
        indexOf_.erase(item.entry);
        queuedInEngine_.erase(item.entry);
        shownNames_.erase(index);
        Pending back{JobItem{item.entry, std::move(item.text), std::move(item.page), item.digestCopy()}, item.recordIndex};
        // A command that came while it was handed out applies to it now.
        if (item.wanted == Wanted::Withdraw) {
            ++removedBeforeReached_;
            strikeFromRecord(item.recordIndex);
        } else if (item.wanted == Wanted::Pause) {
            held_.emplace(item.entry, std::move(back));
            emit itemHeld(item.entry, -1);
        } else {
            waiting_.put(std::move(back));
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
    if (inputEnded_ || stopping_ || !waiting_.empty() || !held_.empty() || mending_ > 0 || mayMend_ > 0 ||
        engine_.queued() > 0)
        return;
    inputEnded_ = true;
    engine_.endInput();
}

DownloadJob::Handed* DownloadJob::handedOf(EntryId entry) {
    const auto at = indexOf_.find(entry);
    return at == indexOf_.end() ? nullptr : &handed_[static_cast<std::size_t>(at->second)];
}

void DownloadJob::renumber(const std::vector<std::pair<EntryId, EntryId>>& changes) {
    if (!started_ || ended_ || changes.empty()) return;
    // The changes are a permutation of the ids they name: every entry they touch is taken out
    // before any goes back under its new id.
    std::vector<std::pair<EntryId, Pending>> waiting, held;
    std::vector<std::pair<EntryId, int>> handed;
    for (const auto& [from, to] : changes) {
        if (auto taken = waiting_.take(from)) waiting.emplace_back(to, std::move(*taken));
        if (auto node = held_.extract(from); !node.empty()) held.emplace_back(to, std::move(node.mapped()));
        if (const auto at = indexOf_.find(from); at != indexOf_.end()) {
            handed.emplace_back(to, at->second);
            indexOf_.erase(at);
        }
    }
    for (auto& [to, pending] : waiting) {
        pending.item.entry = to;
        waiting_.put(std::move(pending));
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
        if (waiting_.contains(entry) || held_.count(entry) > 0 || handedOf(entry)) continue;
        const int recordIndex = recorder_ ? recorder_->add(item.text, item.page) : -1;
        waiting_.put(Pending{std::move(item), recordIndex});
    }
    settleQueue();
}

void DownloadJob::drain() {
    const qint64 now = SteadyNowMs();
    if (lastDrainMs_ >= 0 && now - lastDrainMs_ < kDrainEveryMs) {
        // The bridge posts nothing more until the events are taken: they gather meanwhile.
        if (!drainLater_) {
            drainLater_ = new QTimer(this);
            drainLater_->setSingleShot(true);
            drainLater_->setTimerType(Qt::PreciseTimer);
            connect(drainLater_, &QTimer::timeout, this, &DownloadJob::drainNow);
        }
        if (!drainLater_->isActive()) drainLater_->start(static_cast<int>(kDrainEveryMs - (now - lastDrainMs_)));
        return;
    }
    drainNow();
}

void DownloadJob::drainNow() {
    lastDrainMs_ = SteadyNowMs();
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
    // The last item that might have been mended has ended: nothing more may come.
    if (std::exchange(endLater_, false) && !runOver && !stopping_ && engine_.queued() == 0) endInputWhenDone();
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
    // An item begun again (resumed, tried again) works its name out anew.
    auto shown = shownNames_.extract(index);
    emit itemStarted(item.entry, shown.empty() ? ShownName(item.text) : std::move(shown.mapped()));
}

void DownloadJob::ended(int index, ItemOutcome outcome) {
    if (index < 0 || index >= static_cast<int>(handed_.size())) return;
    Handed& item = handed_[static_cast<std::size_t>(index)];
    item.ended = true;
    shownNames_.erase(index);  // nor is a name kept for one that ended without having begun
    if (std::exchange(item.mayMend, false) && --mayMend_ == 0) endLater_ = true;
    item.outcome = std::move(outcome);
    if ((item.outcome.keptForMend || item.outcome.partRefused) && startMend(index)) return;
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
    held_.emplace(item.entry, Pending{JobItem{item.entry, item.text, item.page, item.digestCopy()}, item.recordIndex, kept});
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
    const QString runFolder = QDir::cleanPath(QDir(folder_).absolutePath());
    closing.summary.expect(handed_.size());
    for (const Handed& item : handed_) {
        if (item.withdrawn || item.superseded) continue;
        // A paused item kept its bytes: it is counted apart, not as one the run never came to.
        if (!item.ended || (item.outcome.cancelled && !item.outcome.paused)) {
            closing.notReached.push_back(item.entry);
            continue;
        }
        closing.summary.add(item.text, item.outcome);
        // The run went on into its folder wherever it was moved: say where the files are. A file
        // straight in the run's folder is told by its text alone (a long run ends with many).
        const QString& path = item.outcome.path;
        if (item.outcome.stored && !path.isEmpty() &&
            QStringView(path).left(std::max<qsizetype>(path.lastIndexOf(QLatin1Char('/')), 0)) != runFolder) {
            const QString where = QFileInfo(path).absolutePath();
            if (QDir::cleanPath(where) != runFolder) closing.summary.setFolderMovedTo(where);
        }
    }
    for (const EntryId entry : waiting_.entries()) closing.notReached.push_back(entry);
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

QString ShownName(const QString& entryText) { return ShownName(Address(entryText)); }

QString ShownName(const Address& address) {
    const QString name = SegmentFileName(address.lastSegment());
    return name.isEmpty() ? DisplayAddress(address.fetch()) : name;
}

}  // namespace Download
