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

#include "app/RunProgress.h"
#include "download/Address.h"
#include "download/DownloadEngine.h"
#include "support/Background.h"
#include "support/ErrorTrap.h"

namespace {
const QString kStart = QStringLiteral("Start Downloading");
const QString kStop = QStringLiteral("Stop Downloading");
const QString kLead = QStringLiteral("Please wait.. Processing: ");
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

    // The item in progress, as the caption shows it.
    QString address;
    int item = 0;
    int items = 0;
    RunProgress::RateMeter rate;
    QElapsedTimer clock;
    qint64 shownAtMs = -1000;  // when the bar last changed
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
    connect(download_->ticker, &QTimer::timeout, this, [this] { showItemProgress(); });

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

void Form1::showItemProgress() {
    DownloadState& state = *download_;
    if (!state.running) return;
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
    state.shownAtMs = state.clock.elapsed();
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
        struct Taken {
            UrlList::EntryId id;
            QString entry;
        };
        std::vector<Taken> taken;  // by the engine's item number
        UrlList::EntryId lastTaken = 0;
        int itemsTaken = 0;
        int countAtStart = 0;
        UrlList::EntryId firstIdAfterStart = 0;
        trap.run(110, [&] {
            engine = &state->engineForRun();
            engine->beginRun();
            state->running = true;
            state->stopRequested = false;
            countAtStart = urls_.count();
            firstIdAfterStart = urls_.nextId();
            urls_.clearOutcomes();
            PushButton2->setText(kStop);
            state->clock.start();
            state->shownAtMs = -state->ticker->interval();
            state->ticker->start();
        });
        bool stopped = false;
        while (engine) {
            trap.run(112, [&] { yield(); });
            if (isClosing()) return true;
            if (state->stopRequested) {
                stopped = true;
                break;
            }
            // The next item is the first entry after the last one taken, wherever it is now.
            const int position = urls_.firstPositionAfter(lastTaken);
            if (position == 0) break;
            lastTaken = urls_.idAt(position);
            ++itemsTaken;
            const int items = itemsTaken + urls_.count() - position;
            trap.run(114, [&] { setMousePointer(PointerBusy); });
            QString entry, url;
            trap.run(118, [&] {
                entry = urls_.textAt(position);
                // Fetched and named from the same text.
                url = Download::FetchAddress(entry);
            });
            trap.run(120, [&] {
                state->progress.reset();
                state->rate.reset();
                state->address = Download::DisplayAddress(url);  // no password, and short
                state->item = itemsTaken;
                state->items = items;
                // The bar changes a few times a second at most, however short the items: a run of
                // many small files must not spend its time repainting. The ticker shows the rest.
                if (state->clock.elapsed() - state->shownAtMs >= state->ticker->interval()) showItemProgress();
            });

            QString base, target;
            trap.run(130, [&] { base = Main::BuildTargetPath(Download::NamingText(url), Text1->text()); });
            trap.run(132, [&] { target = Main::GetNextFilenameIfItExists(base, dialogs_, engine->namingContext()); });

            // The transfer runs on a worker thread; the window keeps painting and answering. The
            // item's file is flushed and named in the background while the next one comes in.
            trap.run(134, [&] {
                int index = -1;
                state->workerForRun().run([&] { index = engine->fetchItem(url, base, target); });
                if (index < 0) return;
                if (index >= static_cast<int>(taken.size())) taken.resize(static_cast<std::size_t>(index) + 1);
                taken[static_cast<std::size_t>(index)] = Taken{lastTaken, entry};
            });
            if (isClosing()) return true;
            trap.run(136, [&] { yield(); });
        }
        state->ticker->stop();
        Download::RunSummary summary;
        trap.run(138, [&] {
            if (!engine) return;
            std::vector<Download::ItemOutcome> outcomes;
            state->workerForRun().run([&] { outcomes = engine->finishRun(); });
            int notReached = 0;
            for (std::size_t k = 0; k < taken.size() && k < outcomes.size(); ++k) {
                const Download::ItemOutcome& outcome = outcomes[k];
                // Each outcome goes to its entry by id, wherever removals have moved its row.
                if (outcome.cancelled) {
                    ++notReached;
                    urls_.setOutcome(taken[k].id, UrlList::Outcome::NotReached, QString());
                    continue;
                }
                summary.add(taken[k].entry, outcome);
                if (outcome.stored)
                    urls_.setOutcome(taken[k].id, UrlList::Outcome::Stored, QStringLiteral("Stored as ") + outcome.path);
                else
                    urls_.setOutcome(taken[k].id, UrlList::Outcome::Failed, QStringLiteral("Failed: ") + outcome.reason);
            }
            const int next = urls_.firstPositionAfter(lastTaken);
            const int ahead = next == 0 ? 0 : urls_.count() - next + 1;
            if (next != 0) urls_.setOutcomeFrom(next, UrlList::Outcome::NotReached);
            // Every entry there was at the start or added since is taken, still ahead, or gone.
            const int everThere = countAtStart + static_cast<int>(urls_.nextId() - firstIdAfterStart);
            summary.setStopped(stopped);
            summary.addNotReached(notReached + ahead);
            summary.addRemovedBeforeReached(std::max(0, everThere - itemsTaken - ahead));
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
