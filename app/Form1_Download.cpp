// The download run: every URL of the list, in list order, into the output folder, several at
// once. The window starts the run and listens to it; it never waits for a transfer. The run walks
// the list by entry id, so entries removed or added meanwhile neither shift nor repeat an item.
#include "app/Form1.h"
#include "app/DesktopSignals.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTreeView>

#include <algorithm>
#include <cmath>
#include <functional>

#include "app/RunProgress.h"
#include "download/Address.h"
#include "download/DownloadEngine.h"
#include "download/DownloadRun.h"
#include "download/UnfinishedWork.h"
#include "support/ErrorTrap.h"
#include "support/PathHelpers.h"
#include "support/RunOptions.h"

namespace {
const QString kStart = QStringLiteral("Start Downloading");
const QString kStop = QStringLiteral("Stop Downloading");
const QString kLead = QStringLiteral("Please wait.. Processing: ");
// How many entries the window hands the engine ahead of the transfers.
constexpr int kLookAhead = 48;
const QString kTryAgainHint =
    QStringLiteral("To try the others again, right-click the list and choose Remove Stored Entries.");
}  // namespace

// What a row shows of its item's outcome.
static UrlList::OutcomeChange outcomeChange(UrlList::EntryId id, const Download::ItemOutcome& outcome) {
    if (outcome.stored) return {id, UrlList::Outcome::Stored, QStringLiteral("Stored as ") + outcome.path};
    if (outcome.skipped) return {id, UrlList::Outcome::Skipped, QStringLiteral("Skipped: already there as ") + outcome.path};
    return {id, UrlList::Outcome::Failed, QStringLiteral("Failed: ") + outcome.reason};
}

struct Form1::DownloadState {
    Download::TransferLimits limits;
    std::unique_ptr<Download::Engine> engine;
    // Declared after the engine, so that it is gone (its thread ended) before the engine is.
    std::unique_ptr<Download::Run> run;
    bool running = false;
    bool stopRequested = false;
    QString folder;  // the run's folder, as the box named it when the run began

    // The items handed to the engine, by its item number.
    struct Taken {
        UrlList::EntryId id = 0;
        QString entry;
        QString address;  // as the caption shows it: no password, and short
        int number = 0;   // the item's number in the caption ("4 of 6")
        int recordIndex = -1;  // its place in the record of unfinished work
        bool withdrawn = false;
    };
    // The entries there when the run began, in list order: the record of unfinished work counts
    // them by these places.
    std::vector<UrlList::EntryId> startIds;
    std::vector<Taken> taken;
    UrlList::EntryId lastFed = 0;  // the last entry handed to the engine and not taken back
    int itemsTaken = 0;
    bool inputEnded = false;
    bool refeedPosted = false;
    int countAtStart = 0;
    UrlList::EntryId firstIdAfterStart = 0;
    QList<QMetaObject::Connection> watches;
    // Hands the engine the next entries of the list; set while entries may still be handed out.
    std::function<int()> feed;

    // What the caption shows.
    int shownIndex = -1;
    QString address;
    int item = 0;
    int items = 0;
    RunProgress::RateMeter rate;
    QElapsedTimer clock;

    Download::Engine& engineForRun() {
        if (!engine) engine = std::make_unique<Download::Engine>(limits);
        return *engine;
    }
};

void Form1::setUpDownloadRun() {
    download_ = std::make_shared<DownloadState>();
    // Closing the window aborts the transfers; the run then ends without a word.
    connect(this, &Form1::aboutToClose, this, [this] {
        if (download_->engine) download_->engine->cancel();
    });
    QStyle* style = ListView1->style();
    urls_.setOutcomeLook(UrlList::Outcome::Stored, style->standardIcon(QStyle::SP_DialogApplyButton), QString());
    urls_.setOutcomeLook(UrlList::Outcome::Failed, style->standardIcon(QStyle::SP_MessageBoxCritical), QString());
    urls_.setOutcomeLook(UrlList::Outcome::Skipped, style->standardIcon(QStyle::SP_DialogYesButton), QString());
    urls_.setOutcomeLook(UrlList::Outcome::NotReached, style->standardIcon(QStyle::SP_MediaPause),
                         QStringLiteral("Not reached: the run was stopped"));
}

void Form1::setTransferLimits(const Download::TransferLimits& limits) {
    download_->limits = limits;
    if (!download_->running) download_->engine.reset();
}

bool Form1::isStopping() const { return download_->running && download_->stopRequested; }

void Form1::stopDownloading() {
    DownloadState& state = *download_;
    if (!state.running || state.stopRequested) return;
    state.stopRequested = true;
    if (state.engine) state.engine->cancel();
    showItemProgress();
}

void Form1::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && download_->running) {
        stopDownloading();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

// Each row's outcome as soon as its item is finished, a few times a second with the caption.
void Form1::showFinishedItems() {
    DownloadState& state = *download_;
    if (!state.running || !state.engine) return;
    std::vector<UrlList::OutcomeChange> changes;
    for (const auto& [index, outcome] : state.engine->takeFinished()) {
        if (index < 0 || index >= static_cast<int>(state.taken.size())) continue;
        const DownloadState::Taken& item = state.taken[static_cast<std::size_t>(index)];
        // A stopped item's row is marked when the run ends, with the others not reached.
        if (item.withdrawn || outcome.cancelled) continue;
        if ((outcome.stored || outcome.skipped) && item.recordIndex >= 0) unfinishedRun().stored(item.recordIndex);
        changes.push_back(outcomeChange(item.id, outcome));
    }
    urls_.setOutcomes(changes);
}

void Form1::showItemProgress() {
    DownloadState& state = *download_;
    if (!state.running || !state.engine) return;
    // A list action that ran meanwhile may have put the pointer back.
    setMousePointer(PointerBusy);
    const Download::RunFigures f = state.engine->figures();
    // The earliest item still under way; between items, the last one shown.
    if (f.earliest >= 0 && f.earliest < static_cast<int>(state.taken.size()) && f.earliest != state.shownIndex) {
        const DownloadState::Taken& item = state.taken[static_cast<std::size_t>(f.earliest)];
        state.shownIndex = f.earliest;
        state.address = item.address;
        state.item = item.number;
    }
    // Items taken so far and the entries still ahead of them, as the list stands now.
    const int ahead = urls_.firstPositionAfter(state.lastFed);
    const int stillAhead = ahead == 0 ? 0 : urls_.count() - ahead + 1;
    // How far the run has got: the items finished and those under way (with one at a time, the
    // number of the item in progress).
    if (f.finished + f.underWay > 0) state.item = f.finished + f.underWay;
    state.items = std::max(state.item, state.itemsTaken + stillAhead);
    state.rate.sample(state.clock.elapsed(), f.bytesMoved);

    RunProgress::Figures figures;
    figures.atOnce = f.underWay;
    figures.received = f.earliestReceived;
    figures.total = f.earliestTotal;
    figures.attempt = f.earliestAttempt;
    figures.maxTries = state.limits.maxTries;
    if (f.earliestRetryAtMs > 0) figures.retryInMs = std::max<qint64>(0, f.earliestRetryAtMs - Download::SteadyNowMs());
    figures.bytesPerSecond = state.rate.bytesPerSecond();
    // The whole run's time left is known once nothing is left beyond the items under way.
    if (stillAhead == 0 && state.engine->queued() == 0) figures.leftBytes = f.bytesLeft;
    figures.item = state.item;
    figures.items = state.items;
    QString text = RunProgress::FiguresText(figures);
    if (state.stopRequested) text = text.isEmpty() ? QStringLiteral("stopping") : text + QStringLiteral(" \u00b7 stopping");
    // The share done: finished items whole, items under way by the share of their size received.
    const double done = state.items > 0 ? (double(f.finished) + f.underWayShare) / double(state.items) : 0.0;
    ProgressBar1->setValue(static_cast<int>(std::lround(std::clamp(done, 0.0, 1.0) * 100.0)));
    desktopSignals().showProgress(done);
    ProgressBar1->setCaption(kLead, state.address, text);
}

void Form1::PushButton2_Click() {
    // While a run is under way the button is its Stop.
    if (IsDownloading) {
        stopDownloading();
        return;
    }
    ErrorReport::Trap trap(dialogs_, QStringLiteral("Form1"), QStringLiteral("PushButton2_Click"));
    if (trap.endTest(100, [&] { return IsDownloading; })) return;
    // A list file or page still arriving would be cut in two by the run's look at the list.
    if (isBusy()) {
        trap.run(101, [&] { dialogs_.msgBox(QStringLiteral("The list is still being filled. Please start when it is complete.")); });
        return;
    }
    trap.run(102, [&] { IsDownloading = true; });
    auto giveUp = [&] { trap.run(152, [&] { IsDownloading = false; }); };

    DownloadState& state = *download_;
    QString folder;
    // "~/Downloads" means the home folder's.
    trap.run(104, [&] { folder = Main::ExpandHomeFolder(Text1->text()); });
    if (trap.blockTest(106, [&] { return !Main::FolderExists(folder); })) {
        trap.run(150, [&] { dialogs_.msgBox(QStringLiteral("Folder does not exist. Please select another folder.")); });
        return giveUp();
    }
    if (trap.blockTest(108, [&] { return urls_.count() <= 0; })) {
        trap.run(148, [&] { dialogs_.msgBox(QStringLiteral("List is empty.")); });
        return giveUp();
    }

    Download::Engine* engine = nullptr;
    trap.run(110, [&] {
        const RunOptions::Values options = RunOptions::Read(settings_);
        engine = &state.engineForRun();
        engine->beginRun();
        engine->setMaxTransfers(options.atOnce);
        engine->setSpeedLimit(qint64(options.speedLimitKBps) * 1024);
        engine->setNaming(options.serverNames, options.skipExisting);
        state.running = true;
        state.stopRequested = false;
        state.folder = folder;
        state.taken.clear();
        state.lastFed = 0;
        state.itemsTaken = 0;
        state.inputEnded = false;
        state.shownIndex = -1;
        state.address.clear();
        state.item = 0;
        state.rate.reset();
        state.countAtStart = urls_.count();
        state.firstIdAfterStart = urls_.nextId();
        // What is not stored yet is kept in the state folder while the run goes, so that a run
        // cut short by Stop, a close or a crash can be offered back at the next start.
        QStringList entries;
        entries.reserve(state.countAtStart);
        state.startIds.clear();
        state.startIds.reserve(static_cast<std::size_t>(state.countAtStart));
        for (int position = 1; position <= state.countAtStart; ++position) {
            state.startIds.push_back(urls_.idAt(position));
            entries << urls_.textAt(position);
        }
        unfinishedRun().begin(folder, entries);
        urls_.clearOutcomes();
        PushButton2->setText(kStop);
        state.clock.start();
    });
    if (!engine) {
        state.running = false;
        return giveUp();
    }
    trap.run(114, [&] { setMousePointer(PointerBusy); });
    trap.run(116, [&] { desktopSignals().runStarted(); });

    // The window hands the engine a few dozen entries ahead of the transfers, each with its place
    // in the run's folder (the engine picks the free name as the item begins). The transfers never
    // wait for the window, and the window does nothing per item but this. Taken back, and handed
    // again, when entries are removed.
    state.feed = [this, engine] {
        DownloadState& state = *download_;
        ErrorReport::Trap trap(dialogs_, QStringLiteral("Form1"), QStringLiteral("PushButton2_Click"));
        int handed = 0;
        while (handed < kLookAhead && !state.stopRequested && !isClosing()) {
            const int position = urls_.firstPositionAfter(state.lastFed);
            if (position == 0) break;
            DownloadState::Taken item;
            const UrlList::EntryId id = urls_.idAt(position);
            item.id = id;
            QString url, base;
            trap.run(118, [&] {
                item.entry = urls_.textAt(position);
                // Fetched and named from the same text.
                url = Download::FetchAddress(item.entry);
            });
            trap.run(120, [&] { item.address = Download::DisplayAddress(url); });
            trap.run(130, [&] { base = Main::BuildTargetPath(Download::NamingText(url), state.folder); });
            trap.run(132, [&] {
                const auto at = std::lower_bound(state.startIds.begin(), state.startIds.end(), id);
                item.recordIndex = at != state.startIds.end() && *at == id ? static_cast<int>(at - state.startIds.begin())
                                                                            : unfinishedRun().add(item.entry);
            });
            trap.run(134, [&] {
                item.number = ++state.itemsTaken;
                const int index = engine->enqueue(url, base);
                if (index >= static_cast<int>(state.taken.size())) state.taken.resize(static_cast<std::size_t>(index) + 1);
                state.taken[static_cast<std::size_t>(index)] = std::move(item);
            });
            state.lastFed = id;
            ++handed;
        }
        return handed;
    };
    // Entries handed to the engine but not begun are taken back at once when the list changes
    // under them; handing out again waits for the next pass of events, so that a filter removing
    // a thousand runs of rows costs one.
    auto takeBack = [this] {
        DownloadState& state = *download_;
        if (!state.feed || state.inputEnded) return;
        withdrawQueuedItems();
        if (state.refeedPosted) return;
        state.refeedPosted = true;
        QMetaObject::invokeMethod(this, [this] {
            DownloadState& state = *download_;
            state.refeedPosted = false;
            if (state.feed && !state.inputEnded) state.feed();
        }, Qt::QueuedConnection);
    };
    state.watches << connect(&urls_, &QAbstractItemModel::rowsRemoved, this, takeBack)
                  << connect(&urls_, &QAbstractItemModel::modelReset, this, takeBack);

    trap.run(112, [&] { state.feed(); });
    trap.run(122, [&] {
        if (!state.taken.empty()) {
            state.shownIndex = 0;
            state.address = state.taken.front().address;
            state.item = state.taken.front().number;
        }
        showItemProgress();
    });
    trap.run(136, [&] {
        state.run = std::make_unique<Download::Run>(*engine);
        Download::Run* run = state.run.get();
        // The list has nothing more: the input ends once everything handed out has begun (the
        // engine asks again when its queue is empty), so that what is queued can be taken back.
        connect(run, &Download::Run::wantMore, this, [this, engine] {
            DownloadState& state = *download_;
            if (!state.feed || state.inputEnded) return;
            if (state.feed() == 0 && engine->queued() == 0) {
                state.inputEnded = true;
                engine->endInput();
            }
        });
        connect(run, &Download::Run::progress, this, [this] {
            showItemProgress();
            showFinishedItems();
        });
        connect(run, &Download::Run::queueEnded, this, [this] { downloadQueueEnded(); });
        connect(run, &Download::Run::finished, this, [this] { downloadRunFinished(); });
        run->start();
    });
    if (!state.run) {
        downloadQueueEnded();
        downloadRunFinished();
    }
}

void Form1::withdrawQueuedItems() {
    DownloadState& state = *download_;
    if (!state.engine) return;
    const std::vector<int> withdrawn = state.engine->withdrawQueued();
    for (const int index : withdrawn) {
        state.taken[static_cast<std::size_t>(index)].withdrawn = true;
        --state.itemsTaken;
    }
    if (!withdrawn.empty()) {
        state.lastFed = 0;
        for (auto it = state.taken.rbegin(); it != state.taken.rend(); ++it)
            if (!it->withdrawn) {
                state.lastFed = it->id;
                break;
            }
    }
}

// Nothing begins any more: what the run did not begin (stopped, or still queued) is taken back,
// and the last files are named.
void Form1::downloadQueueEnded() {
    DownloadState& state = *download_;
    for (const auto& watch : state.watches) disconnect(watch);
    state.watches.clear();
    state.feed = nullptr;
    withdrawQueuedItems();
    if (state.run) state.run->finish();
}

void Form1::downloadRunFinished() {
    DownloadState& state = *download_;
    std::vector<Download::ItemOutcome> outcomes;
    if (state.run) {
        outcomes = state.run->outcomes();
        state.run.release()->deleteLater();
    }
    if (isClosing()) {
        // What was stored is struck off; the rest is offered back at the next start.
        for (std::size_t k = 0; k < state.taken.size() && k < outcomes.size(); ++k)
            if ((outcomes[k].stored || outcomes[k].skipped) && state.taken[k].recordIndex >= 0)
                unfinishedRun().stored(state.taken[k].recordIndex);
        unfinishedRun().flush();
        state.running = false;
        IsDownloading = false;
        return;
    }
    ErrorReport::Trap trap(dialogs_, QStringLiteral("Form1"), QStringLiteral("PushButton2_Click"));
    const bool stopped = state.stopRequested;
    Download::RunSummary summary;
    trap.run(138, [&] {
        int notReached = 0;
        int begun = 0;
        std::vector<UrlList::OutcomeChange> changes;
        for (std::size_t k = 0; k < state.taken.size() && k < outcomes.size(); ++k) {
            const DownloadState::Taken& item = state.taken[k];
            if (item.withdrawn) continue;
            ++begun;
            const Download::ItemOutcome& outcome = outcomes[k];
            // Each outcome goes to its entry by id, wherever removals have moved its row.
            if (outcome.cancelled) {
                ++notReached;
                changes.push_back({item.id, UrlList::Outcome::NotReached, QString()});
                continue;
            }
            summary.add(item.entry, outcome);
            if ((outcome.stored || outcome.skipped) && item.recordIndex >= 0) unfinishedRun().stored(item.recordIndex);
            changes.push_back(outcomeChange(item.id, outcome));
        }
        urls_.setOutcomes(changes);
        const int next = urls_.firstPositionAfter(state.lastFed);
        const int ahead = next == 0 ? 0 : urls_.count() - next + 1;
        if (next != 0) urls_.setOutcomeFrom(next, UrlList::Outcome::NotReached);
        // Every entry there was at the start or added since is taken, still ahead, or gone.
        const int everThere = state.countAtStart + static_cast<int>(urls_.nextId() - state.firstIdAfterStart);
        summary.setStopped(stopped);
        summary.addNotReached(notReached + ahead);
        summary.addRemovedBeforeReached(std::max(0, everThere - begun - ahead));
    });
    state.running = false;
    PushButton2->setText(kStart);
    trap.run(140, [&] { setMousePointer(PointerDefault); });
    trap.run(142, [&] { ProgressBar1->setValue(0); });
    trap.run(144, [&] { ProgressBar1->setCaption(QStringLiteral("Progress Bar")); });
    trap.run(145, [&] { desktopSignals().runEnded(summary.items(), summary.failedCount()); });
    trap.run(146, [&] {
        QString message = summary.finalMessage();
        // The way to fetch only what is left, when something was stored to be removed.
        if ((summary.stopped() || summary.failedCount() > 0) && !summary.stored().empty())
            message += QStringLiteral("\r\n\r\n") + kTryAgainHint;
        dialogs_.msgBox(message);
    });
    // A run that went to its end leaves nothing to offer back; a stopped one keeps its record.
    trap.run(150, [&] {
        if (stopped)
            unfinishedRun().flush();
        else
            unfinishedRun().finishedNormally();
    });
    trap.run(152, [&] { IsDownloading = false; });
    emit downloadEnded();
}

// The run's options, kept in the settings store once the dialog is accepted; a run under way
// keeps the values it began with.
void Form1::PushButton18_Click() {
    ErrorReport::Trap trap(dialogs_, QStringLiteral("Form1"), QStringLiteral("PushButton18_Click"));
    RunOptions::Values values;
    trap.run(100, [&] { values = RunOptions::Read(settings_); });
    bool accepted = false;
    trap.run(102, [&] { accepted = dialogs_.editOptions(values); });
    if (accepted) trap.run(104, [&] { RunOptions::Write(settings_, values); });
}
