// The download run: every URL of the list, in list order, into the output folder. The run walks
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
#include <QTimer>
#include <QTreeView>

#include <functional>

#include "app/RunProgress.h"
#include "download/Address.h"
#include "download/DownloadEngine.h"
#include "support/Background.h"
#include "support/ErrorTrap.h"

namespace {
const QString kStart = QStringLiteral("Start Downloading");
const QString kStop = QStringLiteral("Stop Downloading");
const QString kLead = QStringLiteral("Please wait.. Processing: ");
// How many entries the window hands the engine ahead of the transfer.
constexpr int kLookAhead = 48;
const QString kTryAgainHint =
    QStringLiteral("To try the others again, right-click the list and choose Remove Stored Entries.");
}  // namespace

struct Form1::DownloadState {
    Download::TransferLimits limits;
    // The engine's transfers report here; declared before the engine, so it outlives it.
    Download::TransferProgress progress;
    std::unique_ptr<Download::Engine> engine;
    // One thread for the window's life: a new thread per item costs more than a small file takes.
    Background::Worker worker;
    bool running = false;
    bool stopRequested = false;

    // The items handed to the engine, by its item number.
    struct Taken {
        UrlList::EntryId id = 0;
        QString entry;
        QString address;  // as the caption shows it: no password, and short
        int number = 0;   // the item's number in the caption ("4 of 6")
        bool withdrawn = false;
    };
    std::vector<Taken> taken;
    UrlList::EntryId lastFed = 0;  // the last entry handed to the engine and not taken back
    int itemsTaken = 0;
    bool inputEnded = false;
    bool refeedPosted = false;
    // Hands the engine the next entries of the list; set while a run is under way.
    std::function<int()> feed;

    // The item in progress, as the caption shows it.
    int shownIndex = -1;
    QString address;
    int item = 0;
    int items = 0;
    RunProgress::RateMeter rate;
    QElapsedTimer clock;
    QTimer* ticker = nullptr;

    Background::Worker& workerForRun() { return worker; }

    Download::Engine& engineForRun() {
        if (!engine) {
            engine = std::make_unique<Download::Engine>(limits);
            engine->setProgress(&progress);
        }
        return *engine;
    }
};

void Form1::setUpDownloadRun() {
    download_ = std::make_shared<DownloadState>();
    // Closing the window aborts the transfer in progress; the run then ends without a word.
    connect(this, &Form1::aboutToClose, this, [state = download_] {
        if (state->engine) state->engine->cancel();
    });
    // The figures of the item in progress, a few times a second: the transfer itself only
    // updates counters, whatever its speed.
    download_->ticker = new QTimer(this);
    download_->ticker->setInterval(250);
    connect(download_->ticker, &QTimer::timeout, this, [this] {
        showItemProgress();
        showFinishedItems();
    });

    QStyle* style = ListView1->style();
    urls_.setOutcomeLook(UrlList::Outcome::Stored, style->standardIcon(QStyle::SP_DialogApplyButton), QString());
    urls_.setOutcomeLook(UrlList::Outcome::Failed, style->standardIcon(QStyle::SP_MessageBoxCritical), QString());
    urls_.setOutcomeLook(UrlList::Outcome::NotReached, style->standardIcon(QStyle::SP_MediaPause),
                         QStringLiteral("Not reached: the run was stopped"));
}

void Form1::setTransferLimits(const Download::TransferLimits& limits) {
    download_->limits = limits;
    if (!download_->running) download_->engine.reset();
}

bool Form1::isStopping() const { return download_->running && download_->stopRequested; }

void Form1::stopDownloading() {
    const std::shared_ptr<DownloadState> state = download_;
    if (!state->running || state->stopRequested) return;
    state->stopRequested = true;
    if (state->engine) state->engine->cancel();
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
        if (outcome.stored)
            changes.push_back({item.id, UrlList::Outcome::Stored, QStringLiteral("Stored as ") + outcome.path});
        else
            changes.push_back({item.id, UrlList::Outcome::Failed, QStringLiteral("Failed: ") + outcome.reason});
    }
    urls_.setOutcomes(changes);
}

void Form1::showItemProgress() {
    DownloadState& state = *download_;
    if (!state.running) return;
    // The item the engine is on; between two items, the last one shown.
    const int current = state.engine ? state.engine->currentItem() : -1;
    if (current >= 0 && current < static_cast<int>(state.taken.size()) && current != state.shownIndex) {
        const DownloadState::Taken& item = state.taken[static_cast<std::size_t>(current)];
        state.shownIndex = current;
        state.address = item.address;
        state.item = item.number;
        state.rate.reset();
    }
    // Items taken so far and the entries still ahead of them, as the list stands now.
    const int ahead = urls_.firstPositionAfter(state.lastFed);
    state.items = std::max(state.item, state.itemsTaken + (ahead == 0 ? 0 : urls_.count() - ahead + 1));
    const Download::TransferProgress& p = state.progress;
    RunProgress::Figures figures;
    figures.received = p.received.load(std::memory_order_relaxed);
    figures.total = p.total.load(std::memory_order_relaxed);
    figures.attempt = p.attempt.load(std::memory_order_relaxed);
    figures.maxTries = state.limits.maxTries;
    const qint64 retryAt = p.retryAtMs.load(std::memory_order_relaxed);
    if (retryAt > 0) figures.retryInMs = std::max<qint64>(0, retryAt - Download::SteadyNowMs());
    state.rate.sample(state.clock.elapsed(), figures.received);
    figures.bytesPerSecond = state.rate.bytesPerSecond();
    figures.item = state.item;
    figures.items = state.items;
    QString text = RunProgress::FiguresText(figures);
    if (state.stopRequested) text = text.isEmpty() ? QStringLiteral("stopping") : text + QStringLiteral(" \u00b7 stopping");
    ProgressBar1->setValue(Download::SharePercent(state.item, state.items));
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
    trap.run(102, [&] { IsDownloading = true; });

    // The state outlives anything a yield may do to the window's members.
    const std::shared_ptr<DownloadState> state = download_;
    auto endRunDisplay = [&] {
        state->ticker->stop();
        state->running = false;
        PushButton2->setText(kStart);
    };
    const bool closedDuringRun = [&] {
        if (trap.blockTest(106, [&] { return !Main::FolderExists(Text1->text()); })) {
            trap.run(150, [&] { dialogs_.msgBox(QStringLiteral("Folder does not exist. Please select another folder.")); });
            return false;
        }
        if (trap.blockTest(108, [&] { return urls_.count() <= 0; })) {
            trap.run(148, [&] { dialogs_.msgBox(QStringLiteral("List is empty.")); });
            return false;
        }

        Download::Engine* engine = nullptr;
        int countAtStart = 0;
        UrlList::EntryId firstIdAfterStart = 0;
        trap.run(110, [&] {
            engine = &state->engineForRun();
            engine->beginRun();
            state->running = true;
            state->stopRequested = false;
            state->taken.clear();
            state->lastFed = 0;
            state->itemsTaken = 0;
            state->inputEnded = false;
            state->shownIndex = -1;
            state->address.clear();
            state->item = 0;
            countAtStart = urls_.count();
            firstIdAfterStart = urls_.nextId();
            urls_.clearOutcomes();
            PushButton2->setText(kStop);
            state->clock.start();
        });
        if (!engine) return false;
        trap.run(114, [&] { setMousePointer(PointerBusy); });

        // The window hands the engine a few dozen entries ahead of the transfer, each with its
        // place in the folder the box names at that moment (the engine picks the free name as
        // the item begins). The transfers never wait for the window, and the window does nothing
        // per item but this. Taken back, and handed again, when entries are removed or the
        // folder is changed.
        state->feed = [this, &trap, state, engine] {
            int handed = 0;
            while (handed < kLookAhead && !state->stopRequested && !isClosing()) {
                const int position = urls_.firstPositionAfter(state->lastFed);
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
                trap.run(130, [&] { base = Main::BuildTargetPath(Download::NamingText(url), Text1->text()); });
                trap.run(134, [&] {
                    item.number = ++state->itemsTaken;
                    const int index = engine->enqueue(url, base);
                    if (index >= static_cast<int>(state->taken.size())) state->taken.resize(static_cast<std::size_t>(index) + 1);
                    state->taken[static_cast<std::size_t>(index)] = std::move(item);
                });
                state->lastFed = id;
                ++handed;
            }
            return handed;
        };
        auto feedOrEnd = [state, engine] {
            if (!state->feed || state->inputEnded) return;
            // The list has nothing more: the input ends once everything handed out has begun
            // (the engine asks again when its queue is empty), so that what is queued can still
            // be taken back.
            if (state->feed() == 0 && engine->queued() == 0) {
                state->inputEnded = true;
                engine->endInput();
            }
        };
        // Entries handed to the engine but not begun are taken back at once when anything may
        // have changed under them; handing out again waits for the next pass of events, so that
        // a filter removing a thousand runs of rows costs one.
        auto withdraw = [state, engine] {
            const std::vector<int> withdrawn = engine->withdrawQueued();
            for (const int index : withdrawn) {
                state->taken[static_cast<std::size_t>(index)].withdrawn = true;
                --state->itemsTaken;
            }
            if (!withdrawn.empty()) {
                state->lastFed = 0;
                for (auto it = state->taken.rbegin(); it != state->taken.rend(); ++it)
                    if (!it->withdrawn) {
                        state->lastFed = it->id;
                        break;
                    }
            }
        };
        auto takeBack = [this, state, withdraw] {
            if (!state->feed || state->inputEnded) return;
            withdraw();
            if (state->refeedPosted) return;
            state->refeedPosted = true;
            QMetaObject::invokeMethod(this, [state] {
                state->refeedPosted = false;
                if (state->feed && !state->inputEnded) state->feed();
            }, Qt::QueuedConnection);
        };
        QList<QMetaObject::Connection> watches;
        watches << connect(&urls_, &QAbstractItemModel::rowsRemoved, this, takeBack)
                << connect(&urls_, &QAbstractItemModel::modelReset, this, takeBack)
                << connect(Text1, &QLineEdit::textChanged, this, takeBack);

        trap.run(112, [&] { state->feed(); });
        trap.run(122, [&] {
            if (!state->taken.empty()) {
                state->shownIndex = 0;
                state->address = state->taken.front().address;
                state->item = state->taken.front().number;
            }
            showItemProgress();
            state->ticker->start();
        });
        // The whole run on the worker; the window waits for it in one nested event loop, feeding
        // the engine when it asks.
        trap.run(136, [&] {
            state->workerForRun().run([&] {
                engine->runQueue([this, feedOrEnd] {
                    QMetaObject::invokeMethod(this, [feedOrEnd] { feedOrEnd(); }, Qt::QueuedConnection);
                });
            });
        });
        for (const auto& watch : watches) disconnect(watch);
        if (isClosing()) {
            state->feed = nullptr;
            return true;
        }
        // What the run did not begin (stopped, or still queued) is taken back.
        const bool stopped = state->stopRequested;
        state->feed = nullptr;
        withdraw();
        state->ticker->stop();
        Download::RunSummary summary;
        trap.run(138, [&] {
            std::vector<Download::ItemOutcome> outcomes;
            state->workerForRun().run([&] { outcomes = engine->finishRun(); });
            int notReached = 0;
            int begun = 0;
            std::vector<UrlList::OutcomeChange> changes;
            for (std::size_t k = 0; k < state->taken.size() && k < outcomes.size(); ++k) {
                const DownloadState::Taken& item = state->taken[k];
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
                if (outcome.stored)
                    changes.push_back({item.id, UrlList::Outcome::Stored, QStringLiteral("Stored as ") + outcome.path});
                else
                    changes.push_back({item.id, UrlList::Outcome::Failed, QStringLiteral("Failed: ") + outcome.reason});
            }
            urls_.setOutcomes(changes);
            const int next = urls_.firstPositionAfter(state->lastFed);
            const int ahead = next == 0 ? 0 : urls_.count() - next + 1;
            if (next != 0) urls_.setOutcomeFrom(next, UrlList::Outcome::NotReached);
            // Every entry there was at the start or added since is taken, still ahead, or gone.
            const int everThere = countAtStart + static_cast<int>(urls_.nextId() - firstIdAfterStart);
            summary.setStopped(stopped);
            summary.addNotReached(notReached + ahead);
            summary.addRemovedBeforeReached(std::max(0, everThere - begun - ahead));
        });
        if (isClosing()) return true;
        endRunDisplay();
        trap.run(140, [&] { setMousePointer(PointerDefault); });
        trap.run(142, [&] { ProgressBar1->setValue(0); });
        trap.run(144, [&] { ProgressBar1->setCaption(QStringLiteral("Progress Bar")); });
        trap.run(145, [&] { desktopSignals().runEnded(summary.items(), summary.failedCount()); });
        trap.run(146, [&] {
            QString message = summary.finalMessage();
            if (summary.stopped() || summary.failedCount() > 0) message += QStringLiteral("\r\n\r\n") + kTryAgainHint;
            dialogs_.msgBox(message);
        });
        return false;
    }();
    endRunDisplay();
    if (closedDuringRun) {
        IsDownloading = false;
        return;
    }
    trap.run(152, [&] { IsDownloading = false; });
}
