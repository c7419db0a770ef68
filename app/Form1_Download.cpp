// The download run: every URL of the list, in list order, into the output folder, several at
// once. The window checks the folder and the list, starts a job with the list's entries and shows
// what it tells; it never waits for a transfer. Entries removed or added meanwhile reach the job
// by their ids, so they neither shift nor repeat an item.
#include "app/Form1.h"
#include "app/DesktopSignals.h"

#include <QCoreApplication>
#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QTreeView>

#include <algorithm>
#include <cmath>
#include <functional>
#include <utility>

#include "app/LazyIcon.h"
#include "app/RunProgress.h"
#include "app/RunRowDelegate.h"
#include "download/Address.h"
#include "download/DownloadEngine.h"
#include "download/DownloadJob.h"
#include "download/ProxyChoice.h"
#include "download/Requests.h"
#include "download/UnfinishedWork.h"
#include "listbuild/ListDigests.h"
#include "app/ErrorTrap.h"
#include "support/PathHelpers.h"
#include "support/RunOptions.h"

namespace {
// Shown texts, translated where they are shown.
const char* const kStart = QT_TRANSLATE_NOOP("Form1", "Start Downloading");
const char* const kStop = QT_TRANSLATE_NOOP("Form1", "Stop Downloading");
const char* const kLead = QT_TRANSLATE_NOOP("Form1", "Please wait.. Processing: ");
const char* const kHeldTip = QT_TRANSLATE_NOOP("Form1", "Paused; Space resumes it");
const char* const kTryAgainHint =
    QT_TRANSLATE_NOOP("Form1", "To try the others again, right-click the list and choose Remove Stored Entries.");
}  // namespace

// What a row shows of its item's outcome.
static UrlList::OutcomeChange outcomeChange(UrlList::EntryId id, const Download::ItemOutcome& outcome) {
    if (outcome.paused) {
        const QString kept = outcome.size > 0 ? Download::ByteShare(outcome.bytes, outcome.size) : Download::ByteSize(outcome.bytes);
        return {id, UrlList::Outcome::Paused, QCoreApplication::translate("Form1", "Paused at %1; Start continues it").arg(kept)};
    }
    if (outcome.stored && !outcome.verified.isEmpty())
        return {id, UrlList::Outcome::Stored, QCoreApplication::translate("Form1", "Verified: %1\nStored as %2").arg(outcome.verified, outcome.path)};
    // The row keeps the path itself; the list shows it in the outcome's form, "Stored as %1".
    if (outcome.stored) return {id, UrlList::Outcome::Stored, outcome.path, true};
    // The reason reads "Checksum failed: …" with both digests and where the file was kept.
    if (outcome.checksumFailed) return {id, UrlList::Outcome::Failed, outcome.reason};
    if (outcome.skipped) return {id, UrlList::Outcome::Skipped, outcome.path, true};
    return {id, UrlList::Outcome::Failed, QCoreApplication::translate("Form1", "Failed: %1").arg(outcome.reason)};
}

// The rows of these entries as a run's items, in list order; rows the user paused left out when
// `skipHeld`.
static std::vector<Download::JobItem> jobItemsOf(const UrlList& urls, const std::vector<UrlList::EntryId>& ids, bool skipHeld) {
    std::vector<int> positions;
    positions.reserve(ids.size());
    for (const UrlList::EntryId id : ids)
        if (const int position = urls.positionOf(id)) positions.push_back(position);
    std::sort(positions.begin(), positions.end());
    std::vector<Download::JobItem> items;
    items.reserve(positions.size());
    for (const int position : positions) {
        if (skipHeld && urls.outcomeAt(position) == UrlList::Outcome::Held) continue;
        const QString text = urls.textAt(position);
        items.push_back(Download::JobItem{urls.idAt(position), text, urls.pageAt(position), ListDigests::Find(text)});
    }
    return items;
}

struct Form1::DownloadState {
    Download::TransferLimits limits;
    std::unique_ptr<Download::Engine> engine;
    // Declared after the engine, so that it is gone (the engine's loop ended) before the engine is.
    std::unique_ptr<Download::DownloadJob> job;
    QList<QMetaObject::Connection> watches;

    // What the bar, its caption and the rows under way show.
    RunProgress::RunMeter meter;
    bool scrolled = false;  // to the first row under way, once a run

    bool onlyFailed = false;  // the next Start takes the failed rows alone (Retry Failed)

    Download::Engine& engineForRun() {
        if (!engine) engine = std::make_unique<Download::Engine>(limits);
        return *engine;
    }
};

void Form1::setUpDownloadRun() {
    download_ = std::make_shared<DownloadState>();
    // The first Start need not wait for the desktop's proxy settings to be read.
    const RunOptions::Values options = RunOptions::Read(settings_);
    const auto proxy = Download::ProxyChoice::FromOptions(options.proxy, options.proxyBypass);
    if (proxy && (*proxy)->mode() == Download::ProxyChoice::Mode::System) Download::ProxyChoice::PrepareSystemProxies();
    // Closing the window aborts the transfers; the run then ends without a word, and the job,
    // when the window goes, records what was not stored.
    connect(this, &Form1::aboutToClose, this, [this] {
        if (download_->job) download_->job->stop();
    });
    // Each icon is looked up in the theme when a row first shows it.
    const QPointer<QWidget> view = ListView1;
    auto icon = [view](QStyle::StandardPixmap which) {
        return LazyIcon([view, which] { return view ? view->style()->standardIcon(which) : QIcon(); });
    };
    urls_.setOutcomeLook(UrlList::Outcome::Stored, icon(QStyle::SP_DialogApplyButton), QString(), tr("Stored as %1"));
    urls_.setOutcomeLook(UrlList::Outcome::Failed, icon(QStyle::SP_MessageBoxCritical), QString());
    urls_.setOutcomeLook(UrlList::Outcome::Skipped, icon(QStyle::SP_DialogYesButton), QString(), tr("Skipped: already there as %1"));
    urls_.setOutcomeLook(UrlList::Outcome::NotReached, icon(QStyle::SP_MediaPause), tr("Not reached: the run was stopped"));
    urls_.setOutcomeLook(UrlList::Outcome::Paused, icon(QStyle::SP_MediaPlay), QString());
    urls_.setOutcomeLook(UrlList::Outcome::Held, icon(QStyle::SP_MediaPause), tr(kHeldTip));
    ListView1->setItemDelegate(new RunRowDelegate(ListView1));
}

void Form1::endDownloadRun() {
    // The job waits for the engine and records the last outcomes before the recorder may go.
    download_->job.reset();
}

void Form1::setTransferLimits(const Download::TransferLimits& limits) {
    download_->limits = limits;
    if (!download_->job) download_->engine.reset();
}

Download::DownloadJob* Form1::runJob() const { return download_->job.get(); }

bool Form1::isStopping() const { return download_->job && download_->job->isStopping(); }

void Form1::stopDownloading() {
    DownloadState& state = *download_;
    if (!state.job || !state.job->isRunning() || state.job->isStopping()) return;
    state.job->stop();
}

void Form1::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && download_->job && download_->job->isRunning()) {
        stopDownloading();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void Form1::showRunFigures(const Download::JobFigures& f) {
    DownloadState& state = *download_;
    // A list action that ran meanwhile may have put the pointer back.
    setMousePointer(PointerBusy);
    state.meter.update(f, Download::SteadyNowMs());
    showRunMeter();
}

void Form1::showRunMeter() {
    RunProgress::RunMeter& meter = download_->meter;
    // Only the rows whose figures changed are told to the view.
    for (const Download::EntryId entry : meter.takeEndedRows()) urls_.clearProgress(entry);
    for (RunProgress::RowFigures& row : meter.changedRows())
        urls_.setProgress(row.entry, UrlList::Progress{row.share, std::move(row.text), std::move(row.tip)});
    QStringList texts = meter.figuresTexts();
    if (isStopping())
        for (QString& text : texts) text += tr(" · stopping");
    ProgressBar1->setValue(meter.barValue());
    desktopSignals().showProgress(meter.barValue() / 100.0);
    ProgressBar1->setCaption(tr(kLead), meter.name(), texts);
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
        trap.run(101, [&] { dialogs_.msgBox(tr("The list is still being filled. Please start when it is complete.")); });
        return;
    }
    trap.run(102, [&] { IsDownloading = true; });
    auto giveUp = [&] { trap.run(152, [&] { IsDownloading = false; }); };

    DownloadState& state = *download_;
    QString folder;
    // "~/Downloads" means the home folder's.
    trap.run(104, [&] { folder = Main::ExpandHomeFolder(Text1->text()); });
    if (trap.blockTest(106, [&] { return !Main::FolderExists(folder); })) {
        trap.run(150, [&] { dialogs_.msgBox(tr("Folder does not exist. Please select another folder.")); });
        return giveUp();
    }
    if (trap.blockTest(108, [&] { return urls_.count() <= 0; })) {
        trap.run(148, [&] { dialogs_.msgBox(tr("List is empty.")); });
        return giveUp();
    }
    // Rows the user paused stay out of the run until resumed; Retry Failed takes the failed alone.
    const bool onlyFailed = std::exchange(state.onlyFailed, false);
    std::vector<Download::JobItem> items;
    trap.run(108, [&] {
        items.reserve(static_cast<std::size_t>(urls_.count()));
        for (int position = 1; position <= urls_.count(); ++position) {
            const UrlList::Outcome was = urls_.outcomeAt(position);
            if (was == UrlList::Outcome::Held || (onlyFailed && was != UrlList::Outcome::Failed)) continue;
            // A digest that a list line gave its address goes with the item.
            const QString text = urls_.textAt(position);
            items.push_back(Download::JobItem{urls_.idAt(position), text, urls_.pageAt(position), ListDigests::Find(text)});
        }
    });
    if (items.empty()) {
        trap.run(148, [&] {
            dialogs_.msgBox(onlyFailed ? tr("No entry of the list has failed.")
                                       : tr("Every entry of the list is paused. Select some and press Space to resume them."));
        });
        return giveUp();
    }

    // The cookies file is read at each Start; one that cannot be used keeps the run from beginning.
    Fw::Result<std::shared_ptr<const Download::RequestOptions>> requests = Fw::Error::failed(QString());
    trap.run(109, [&] { requests = Download::MakeRequestOptions(RunOptions::Read(settings_)); });
    if (!requests) {
        if (!requests.error().text.isEmpty()) trap.run(147, [&] { dialogs_.msgBox(requests.error().text); });
        return giveUp();
    }
    // Cookies left out (a public suffix's) are named; the run goes on without them.
    trap.run(146, [&] {
        const QString notice = Download::CookiesFileNotice(**requests, RunOptions::Read(settings_));
        if (!notice.isEmpty()) dialogs_.msgBox(notice, Dialogs::Exclamation);
    });

    const int runItems = static_cast<int>(items.size());
    trap.run(110, [&] {
        const RunOptions::Values values = RunOptions::Read(settings_);
        Download::JobOptions options;
        options.atOnce = values.atOnce;
        options.speedLimit = qint64(values.speedLimitKBps) * 1024;
        options.serverNames = values.serverNames;
        options.skipExisting = values.skipExisting;
        options.skipUnchanged = values.skipUnchanged;
        options.requests = *requests;
        options.splitBigFiles = values.splitBigFiles;
        // The last run's job may still be inside the handler of its result (a box shown from it).
        if (state.job) state.job.release()->deleteLater();
        state.job = std::make_unique<Download::DownloadJob>(state.engineForRun(), folder, std::move(items), options,
                                                             unfinishedRecorder());
    });
    if (!state.job) return giveUp();
    Download::DownloadJob* job = state.job.get();
    trap.run(111, [&] { watchAddressChanges(*job); });
    trap.run(112, [&] {
        state.meter.reset(folder, runItems);
        state.scrolled = false;
        urls_.clearOutcomes();
        urls_.clearAllProgress();
        PushButton2->setText(tr(kStop));
        setMousePointer(PointerBusy);
    });
    trap.run(116, [&] { desktopSignals().runStarted(); });

    // The list is the run's queue: rows removed leave it (a transfer under way is cancelled),
    // rows added or put back join it in their places, rows moved change the order items begin in.
    state.watches << connect(&urls_, &UrlList::entriesRemoved, job, &Download::DownloadJob::withdraw)
                  << connect(&urls_, &QAbstractItemModel::rowsInserted, job, [this, job](const QModelIndex&, int first, int last) {
                         // An undo's rows are told once their ids are final.
                         if (urls_.isPuttingBack()) return;
                         std::vector<Download::JobItem> added;
                         added.reserve(static_cast<std::size_t>(last - first + 1));
                         for (int row = first; row <= last; ++row) {
                             const QString text = urls_.textAt(row + 1);
                             added.push_back(Download::JobItem{urls_.idAt(row + 1), text, urls_.pageAt(row + 1), ListDigests::Find(text)});
                         }
                         job->append(std::move(added));
                     })
                  << connect(&urls_, &UrlList::entriesPutBack, job, [this, job](const std::vector<UrlList::EntryId>& ids) {
                         std::vector<Download::JobItem> back = jobItemsOf(urls_, ids, true);
                         job->append(std::move(back));
                     })
                  << connect(&urls_, &UrlList::entriesRenumbered, job,
                             [this, job](const std::vector<std::pair<UrlList::EntryId, UrlList::EntryId>>& changes) {
                                 download_->meter.renumber(changes);
                                 job->renumber(changes);
                             });
    connect(job, &Download::DownloadJob::itemHeld, this, [this](Download::EntryId entry, qint64 kept) {
        urls_.clearProgress(entry);
        const QString note = kept > 0 ? tr("Paused with %1 kept; Space resumes it").arg(Download::ByteSize(kept)) : tr(kHeldTip);
        urls_.setOutcome(entry, UrlList::Outcome::Held, note);
    });
    connect(job, &Download::DownloadJob::itemQueued, this, [this](Download::EntryId entry) {
        download_->meter.requeued();
        urls_.clearProgress(entry);
        urls_.setOutcome(entry, UrlList::Outcome::None, QString());
    });
    connect(job, &Download::DownloadJob::progress, this, &Form1::showRunFigures);
    connect(job, &Download::DownloadJob::itemStarted, this, [this](Download::EntryId entry, const QString& name) {
        DownloadState& state = *download_;
        state.meter.started(entry, name);
        // The first row under way is brought into view once; after that the list scrolls only
        // when the user scrolls it.
        if (!state.scrolled) {
            state.scrolled = true;
            if (const int position = urls_.positionOf(entry)) ListView1->scrollTo(urls_.index(position - 1), QAbstractItemView::EnsureVisible);
        }
    });
    // Each row shows its item's outcome as soon as it is finished (a paused one too); a stopped
    // item's row is marked when the run ends, with the others not reached.
    connect(job, &Download::DownloadJob::itemFinished, this, [this](Download::EntryId entry, const Download::ItemOutcome& outcome) {
        download_->meter.finished(entry, outcome);
        urls_.clearProgress(entry);
        if (!outcome.cancelled || outcome.paused) urls_.setOutcomes({outcomeChange(entry, outcome)});
    });
    connect(job, &Download::DownloadJob::result, this, &Form1::downloadRunFinished);
    trap.run(122, [&] {
        Download::JobFigures first;
        first.earliest = urls_.idAt(1);
        first.earliestText = urls_.textAt(1);
        first.items = urls_.count();
        showRunFigures(first);
    });
    trap.run(136, [&] { job->start(); });
}

void Form1::downloadRunFinished(const Download::JobResult& result) {
    DownloadState& state = *download_;
    for (const auto& watch : state.watches) disconnect(watch);
    state.watches.clear();
    if (isClosing()) {
        IsDownloading = false;
        return;
    }
    ErrorReport::Trap trap(dialogs_, QStringLiteral("Form1"), QStringLiteral("PushButton2_Click"));
    const Download::RunSummary& summary = result.summary;
    trap.run(138, [&] {
        std::vector<UrlList::OutcomeChange> changes;
        changes.reserve(result.notReached.size());
        for (const Download::EntryId entry : result.notReached) changes.push_back({entry, UrlList::Outcome::NotReached, QString()});
        urls_.setOutcomes(changes);
        urls_.clearAllProgress();
    });
    PushButton2->setText(tr(kStart));
    trap.run(140, [&] { setMousePointer(PointerDefault); });
    trap.run(142, [&] { ProgressBar1->setValue(0); });
    trap.run(144, [&] { ProgressBar1->setCaption(tr("Progress Bar")); });
    trap.run(145, [&] { desktopSignals().runEnded(summary.items(), summary.failedCount()); });
    trap.run(146, [&] {
        QString message = summary.finalMessage();
        // The way to fetch only what is left, when something was stored to be removed.
        if ((summary.stopped() || summary.failedCount() > 0) && !summary.stored().empty())
            message += QStringLiteral("\r\n\r\n") + tr(kTryAgainHint);
        dialogs_.msgBox(message);
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

bool Form1::listLocked() const { return isListBuilding() || (isBusy() && !IsDownloading); }

bool Form1::selectionIsHeld() const {
    const int position = selectedEntry();
    return position > 0 && urls_.outcomeAt(position) == UrlList::Outcome::Held;
}

namespace {
// Whether any selected row passes `test` (its position and outcome).
bool AnySelected(const std::vector<bool>& rows, const UrlList& urls, const std::function<bool(int, UrlList::Outcome)>& test) {
    for (std::size_t row = 0; row < rows.size(); ++row)
        if (rows[row] && test(static_cast<int>(row) + 1, urls.outcomeAt(static_cast<int>(row) + 1))) return true;
    return false;
}
}  // namespace

bool Form1::canPauseSelection() const {
    if (selectionIsHeld()) return true;
    return AnySelected(selectedRows(), urls_, [this](int, UrlList::Outcome was) {
        return was == UrlList::Outcome::None || was == UrlList::Outcome::NotReached || was == UrlList::Outcome::Paused ||
               (!IsDownloading && was == UrlList::Outcome::Failed);
    });
}

bool Form1::canRetrySelection() const {
    if (!IsDownloading) return false;
    return AnySelected(selectedRows(), urls_, [this](int position, UrlList::Outcome was) {
        return was == UrlList::Outcome::Failed || urls_.hasProgress(urls_.idAt(position));
    });
}

void Form1::pauseOrResumeSelection() {
    if (listLocked()) return;
    const bool resume = selectionIsHeld();
    const std::vector<bool> rows = selectedRows();
    std::vector<UrlList::EntryId> ids;
    std::vector<UrlList::OutcomeChange> changes;
    for (std::size_t row = 0; row < rows.size(); ++row) {
        if (!rows[row]) continue;
        const int position = static_cast<int>(row) + 1;
        const UrlList::Outcome was = urls_.outcomeAt(position);
        const UrlList::EntryId id = urls_.idAt(position);
        if (resume ? was != UrlList::Outcome::Held : was == UrlList::Outcome::Held) continue;
        ids.push_back(id);
        // Outside a run the row itself keeps the state; a stored or skipped row has nothing to
        // pause.
        if (!IsDownloading && !(was == UrlList::Outcome::Stored || was == UrlList::Outcome::Skipped))
            changes.push_back({id, resume ? UrlList::Outcome::None : UrlList::Outcome::Held, resume ? QString() : tr(kHeldTip)});
    }
    if (ids.empty()) return;
    Download::DownloadJob* job = download_->job.get();
    if (!IsDownloading || !job || !job->isRunning()) {
        urls_.setOutcomes(changes);
        return;
    }
    // The job answers each row by what its item is now (itemHeld, itemQueued).
    if (resume)
        job->resume(jobItemsOf(urls_, ids, false));
    else
        job->pause(ids);
}

void Form1::retrySelection() {
    Download::DownloadJob* job = download_->job.get();
    if (!IsDownloading || !job || !job->isRunning() || listLocked()) return;
    const std::vector<bool> rows = selectedRows();
    std::vector<UrlList::EntryId> ids;
    for (std::size_t row = 0; row < rows.size(); ++row) {
        if (!rows[row]) continue;
        const int position = static_cast<int>(row) + 1;
        const UrlList::Outcome was = urls_.outcomeAt(position);
        if (was == UrlList::Outcome::Held || was == UrlList::Outcome::Stored || was == UrlList::Outcome::Skipped) continue;
        ids.push_back(urls_.idAt(position));
    }
    if (!ids.empty()) job->retry(jobItemsOf(urls_, ids, true));
}

void Form1::retryFailed() {
    if (IsDownloading || urls_.countOutcome(UrlList::Outcome::Failed) == 0) return;
    download_->onlyFailed = true;
    PushButton2_Click();
    download_->onlyFailed = false;
}
