// The start-up sequence, run before the window is shown.
#include <QCoreApplication>
#include <QHeaderView>
#include <QMetaObject>
#include <QLineEdit>
#include <QRadioButton>
#include <QTreeView>

#include "app/Form1.h"
#include "app/Startup.h"
#include "app/StartupEnvironment.h"
#include "download/ProxyChoice.h"
#include "download/UnfinishedWork.h"
#include "support/ConnectivityCheck.h"
#include "app/ErrorTrap.h"
#include "support/PathHelpers.h"
#include "support/RunOptions.h"
#include "support/WebUrl.h"
#include "listbuild/UserAddress.h"

#include <optional>
#include <utility>

void Form1::Form_Load() { Form_Load(StartupEnvironment::FromSystem()); }

namespace {
// Selects or clears one button of the option pair; true when it became selected.
bool setOption(QRadioButton* button, bool selected) {
    if (button->isChecked() == selected) return false;
    if (!selected) {
        // An exclusive group refuses to clear its selected button; the stored pair may say neither.
        button->setAutoExclusive(false);
        button->setChecked(false);
        button->setAutoExclusive(true);
        return false;
    }
    button->setChecked(true);
    return true;
}
}  // namespace

void Form1::Form_Load(const StartupEnvironment& environment) {
    const StartupEnvironment& env = environment;
    const Settings::Store& store = settings_;

    ErrorReport::Trap trap(dialogs_, QStringLiteral("Form1"), QStringLiteral("Form_Load"));
    trap.run(100, [&] {
        // The try goes as a run would: through the proxy the stored options choose. A typed proxy
        // that cannot be used leaves it to the environment's, as before; Start names that proxy.
        const RunOptions::Values options = RunOptions::Read(store);
        Fw::Result<std::shared_ptr<Download::ProxyChoice>> chosen =
            Download::ProxyChoice::FromOptions(options.proxy, options.proxyBypass);
        const std::shared_ptr<Download::ProxyChoice> proxy = chosen ? *chosen : nullptr;
        Main::ConnectionTry attempt;
        if (env.tryConnection)
            attempt = [&env, proxy](int limitMs, const std::atomic<bool>& stop) { return env.tryConnection(limitMs, stop, proxy.get()); };
        if (!Main::CheckOnline(env.pingCommand, env.pingWaitLimitMs, attempt))
            dialogs_.messageBox(QCoreApplication::translate("Main", Main::kOfflineMessage), Dialogs::OkOnly, {});
    });
    trap.run(102, [&] { Main::ApplySkin(*this, env.programFolder); });
    const QString cursorFile = env.programFolder + QLatin1String("/HAND-M.CUR");
    if (trap.blockTest(106, [&] { return Main::FileOrFolderExists(cursorFile); }))
        trap.run(108, [&] { setCustomCursor(Main::LoadCursorFile(cursorFile)); });
    trap.run(110, [&] { Main::OpenHomePageOccasionally(dialogs_, env.drawHomePageNumber); });
    trap.run(128, [&] {
        setWindowTitle(QString::fromLatin1(Dialogs::kProductName));
        Main::SetApplicationTitle(dialogs_);
    });
    trap.run(130, [&] { urls_.setHeaderText(tr("URL(s)")); });
    trap.run(132, [&] { ListView1->header()->resizeSection(0, 7000 / 15); });
    trap.run(134, [&] {
        if (setOption(Option1, Settings::ToTruth(store.read(QStringLiteral("Option1"), QStringLiteral("1")))))
            Option1_Click();
    });
    trap.run(136, [&] {
        if (setOption(Option2, Settings::ToTruth(store.read(QStringLiteral("Option2"), QStringLiteral("0")))))
            Option2_Click();
    });
    trap.run(138, [&] {
        // The desktop is looked up first, whether or not a folder is stored.
        const QString desktop = Main::GetDesktopFolder(env.desktopFolder ? env.desktopFolder() : QString());
        // A stored folder, even one that is gone, stays as the user left it.
        const QString first = Main::DefaultOutputFolder(desktop, env.downloadFolder, env.homeFolder);
        // A changed text runs Text1_Change, which stores it.
        Text1->setText(store.read(QStringLiteral("Output Folder"), first));
    });
    stateFolder_ = env.stateFolder;
    // Queued, so that the box comes only once the window is up and start-up never waits for it.
    if (!stateFolder_.isEmpty()) QMetaObject::invokeMethod(this, [this] { offerUnfinishedRun(); }, Qt::QueuedConnection);
}

std::shared_ptr<Download::UnfinishedRunRecorder> Form1::unfinishedRecorder() {
    unfinishedRun();
    return unfinished_;
}

Download::UnfinishedRunRecorder& Form1::unfinishedRun() {
    if (!unfinished_)
        unfinished_ = std::make_shared<Download::UnfinishedRunRecorder>(stateFolder_.isEmpty() ? Download::StateFolder() : stateFolder_);
    return *unfinished_;
}

using Leftover = Download::UnfinishedRunRecord::Leftover;

void Form1::offerUnfinishedRun() {
    if (stateFolder_.isEmpty() || IsDownloading || tidying_.begun) return;
    tidying_.begun = true;
    // Reading the record of a big run, and the records of its partials, takes a moment: on the
    // worker that tidies after it. The question comes back to the window.
    tidying_.worker.post([this, state = stateFolder_] {
        auto found = std::make_shared<std::optional<Leftover>>(Download::UnfinishedRunRecord::FindLeftover(state));
        qint64 kept = 0;
        if (*found) kept = Download::PartialStore(state).keptBytes((*found)->run().folder, (*found)->run().entries);
        if (tidying_.stop) return;
        {
            std::lock_guard<std::mutex> hold(tidying_.lock);
            tidying_.found = std::move(found);
            tidying_.kept = kept;
        }
        QMetaObject::invokeMethod(this, "unfinishedRunRead", Qt::QueuedConnection);
    });
}

void Form1::unfinishedRunRead() {
    std::shared_ptr<std::optional<Leftover>> found;
    qint64 kept = 0;
    {
        std::lock_guard<std::mutex> hold(tidying_.lock);
        found = std::exchange(tidying_.found, {});
        kept = tidying_.kept;
    }
    if (found) askAboutUnfinishedRun(found, kept);
}

void Form1::askAboutUnfinishedRun(const std::shared_ptr<std::optional<Leftover>>& found, qint64 kept) {
    std::optional<Leftover> forget;
    if (std::optional<Leftover>& leftover = *found) {
        const Download::UnfinishedRun& run = leftover->run();
        const int answer = dialogs_.msgBox(Main::UnfinishedRunQuestion(run.entries.size(), kept), Dialogs::YesNoCancel);
        if (answer == Dialogs::Cancel) {
            // Not now: the record and its partials stay, and the next start asks again.
            leftover.reset();
        } else if (answer == Dialogs::Yes) {
            // The record is a file anyone could have written: its entries pass the rule typed
            // ones do. Read off the window thread, they arrive in batches as a list file's do.
            auto notAdded = std::make_shared<Main::NotAdded>();
            auto work = [this, found, notAdded](ListJobs::Job& job) {
                const EntrySink sink = entrySink(job);
                EntryBatch batch;
                const Download::UnfinishedRun& run = (*found)->run();
                for (qsizetype i = 0; i < run.entries.size(); ++i) {
                    if (job.stop()) return;
                    const QString& entry = run.entries[i];
                    // An entry found on a page keeps it, and so its Referer: a batch holds one page.
                    const QString page = i < run.pages.size() ? run.pages[i] : QString();
                    if (page != batch.page) {
                        if (!batch.empty()) sink(std::exchange(batch, {}));
                        batch.page = page;
                    }
                    if (std::optional<QString> address = WebUrl::FromUserText(entry)) batch.add(address->toUtf8().toStdString());
                    else notAdded->note(entry);
                    if (batch.full()) {
                        sink(std::exchange(batch, {}));
                        batch.page = page;
                    }
                }
                if (!batch.empty()) sink(std::move(batch));
            };
            startListJob(std::move(work), [this, found, notAdded](const ListJobs::Ending& how) {
                // A window closed meanwhile leaves the record for the next start.
                if (how.stopped || !how.failure.isEmpty()) return tidyUnfinishedWork({});
                const Download::UnfinishedRun& run = (*found)->run();
                // A folder that is gone stays out of the box: the one there is better than none.
                if (!run.folder.isEmpty() && Main::FolderExists(run.folder)) Text1->setText(run.folder);
                // Until its entries are stored, a crash of this copy offers them again.
                unfinishedRun().adopt(std::move(**found).take());
                if (notAdded->count) dialogs_.msgBox(notAdded->message());
                tidyUnfinishedWork({});
            });
            return;
        } else {
            forget = std::move(leftover);
        }
    }
    tidyUnfinishedWork(std::move(forget));
}

// Removing the partials of a big run takes seconds: off the window thread. Closing the window
// stops it between two files, and a run not wholly forgotten keeps its record (and is offered
// again), so that no partial is left without one.
void Form1::tidyUnfinishedWork(std::optional<Leftover> forget) {
    auto forgotten = std::make_shared<std::optional<Leftover>>(std::move(forget));
    tidying_.worker.post([this, partials = Download::PartialStore(stateFolder_), forgotten]() mutable {
        const std::atomic<bool>& stop = tidying_.stop;
        if (auto& forget = *forgotten) {
            const Download::UnfinishedRun& run = forget->run();
            // The partials first: a crash in between leaves a record that still leads to them.
            for (const QString& url : run.entries) {
                if (stop) return;
                partials.removeWithPartial(run.folder, url);
            }
            std::move(*forget).discard();
        }
        if (stop) return;
        partials.removeExpired();
        emit unfinishedWorkTidied();
    });
}
