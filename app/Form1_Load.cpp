// The start-up sequence, run before the window is shown.
#include <QHeaderView>
#include <QMetaObject>
#include <QLineEdit>
#include <QRadioButton>
#include <QTreeView>

#include "app/Form1.h"
#include "app/Startup.h"
#include "app/StartupEnvironment.h"
#include "download/UnfinishedWork.h"
#include "support/ConnectivityCheck.h"
#include "support/ErrorTrap.h"
#include "support/PathHelpers.h"

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
    trap.run(100, [&] { Main::CheckOnline(dialogs_, env.pingCommand, env.pingWaitLimitMs, env.tryConnection); });
    trap.run(102, [&] { Main::ApplySkin(*this, env.programFolder); });
    const QString cursorFile = env.programFolder + QLatin1String("/HAND-M.CUR");
    if (trap.blockTest(106, [&] { return Main::FileOrFolderExists(cursorFile); }))
        trap.run(108, [&] { setCustomCursor(Main::LoadCursorFile(cursorFile)); });
    trap.run(110, [&] { Main::OpenHomePageOccasionally(dialogs_, env.drawHomePageNumber); });
    trap.run(128, [&] {
        setWindowTitle(QString::fromLatin1(Dialogs::kProductName));
        Main::SetApplicationTitle(dialogs_);
    });
    trap.run(130, [&] { urls_.setHeaderText(QStringLiteral("URL(s)")); });
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

void Form1::offerUnfinishedRun() {
    if (stateFolder_.isEmpty() || IsDownloading) return;
    Download::PartialStore partials(stateFolder_);
    if (auto leftover = Download::UnfinishedRunRecord::FindLeftover(stateFolder_)) {
        const Download::UnfinishedRun run = leftover->run();
        const QString question = QStringLiteral("The last run did not finish.\nPut the %1 downloads it did not store back in the list?")
                                     .arg(run.entries.size());
        if (dialogs_.msgBox(question, Dialogs::YesNo) == Dialogs::Yes) {
            UrlList::Batch batch(urls_);
            for (const QString& entry : run.entries) batch.add(entry);
            batch.commit();
            // A folder that is gone stays out of the box: the one there is better than none.
            if (!run.folder.isEmpty() && Main::FolderExists(run.folder)) Text1->setText(run.folder);
            // Until its entries are stored, a crash of this copy offers them again.
            unfinishedRun().adopt(std::move(*leftover).take());
        } else {
            // The partials first: a crash in between leaves a record that still leads to them.
            partials.removeForRun(run.folder, run.entries);
            std::move(*leftover).discard();
        }
    }
    partials.removeExpired();
}
