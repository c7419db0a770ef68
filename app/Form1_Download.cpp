// The download run: every URL of the list, in list order, into the output folder.
#include "app/Form1.h"
#include "app/DesktopSignals.h"

#include <QLineEdit>

#include "download/DownloadEngine.h"
#include "support/Background.h"
#include "support/ErrorTrap.h"

struct Form1::DownloadState {
    Download::TransferLimits limits;
    std::unique_ptr<Download::Engine> engine;
    // One thread for the window's life: a new thread per item costs more than a small file takes.
    Background::Worker worker;
    bool running = false;

    Background::Worker& workerForRun() { return worker; }

    Download::Engine& engineForRun() {
        if (!engine) engine = std::make_unique<Download::Engine>(limits);
        return *engine;
    }
};

void Form1::setUpDownloadRun() {
    download_ = std::make_shared<DownloadState>();
    // Closing the window aborts the transfer in progress; the run then ends without a word.
    connect(this, &Form1::aboutToClose, this, [state = download_] {
        if (state->engine) state->engine->cancel();
    });
}

void Form1::setTransferLimits(const Download::TransferLimits& limits) {
    download_->limits = limits;
    if (!download_->running) download_->engine.reset();
}

void Form1::PushButton2_Click() {
    ErrorReport::Trap trap(dialogs_, QStringLiteral("Form1"), QStringLiteral("PushButton2_Click"));
    if (trap.endTest(100, [&] { return IsDownloading; })) return;
    trap.run(102, [&] { IsDownloading = true; });

    // The state outlives anything a yield may do to the window's members.
    const std::shared_ptr<DownloadState> state = download_;
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
        QStringList fetched;  // the URL of each item the run took, in order
        int n = 0;
        trap.run(110, [&] {
            engine = &state->engineForRun();
            engine->beginRun();
            state->running = true;
            n = urls_.count();
        });
        if (!engine) n = 0;  // no engine, no items: the run goes on to its closing steps
        for (int i = 1; i <= n; ++i) {
            trap.run(112, [&] { yield(); });
            if (isClosing()) return true;
            // Entries removed during the run: no item i any more, so the run ends here.
            if (urls_.count() < i) break;
            trap.run(114, [&] { setMousePointer(PointerBusy); });
            trap.run(116, [&] { ProgressBar1->setValue(Download::SharePercent(i, urls_.count())); });
            QString url;
            trap.run(118, [&] { url = urls_.textAt(i); });
            trap.run(120, [&] { ProgressBar1->setCaption(QStringLiteral("Please wait.. Processing: ") + url); });

            QString namingText, base, target;
            trap.run(126, [&] { namingText = url; });
            trap.run(128, [&] { namingText = Download::NamingText(namingText); });
            trap.run(130, [&] { base = Main::BuildTargetPath(namingText, Text1->text()); });
            trap.run(132, [&] { target = Main::GetNextFilenameIfItExists(base, dialogs_, engine->namingContext()); });

            // The transfer runs on a worker thread; the window keeps painting and answering. The
            // item's file is flushed and named in the background while the next one comes in.
            trap.run(134, [&] {
                int index = -1;
                state->workerForRun().run([&] { index = engine->fetchItem(url, base, target); });
                if (index < 0) return;
                if (index >= fetched.size()) fetched.resize(index + 1);
                fetched[index] = url;
            });
            if (isClosing()) return true;
            trap.run(136, [&] { yield(); });
        }
        Download::RunSummary summary;
        trap.run(138, [&] {
            if (!engine) return;
            std::vector<Download::ItemOutcome> outcomes;
            state->workerForRun().run([&] { outcomes = engine->finishRun(); });
            for (qsizetype k = 0; k < fetched.size() && k < qsizetype(outcomes.size()); ++k)
                summary.add(fetched[k], outcomes[k]);
        });
        if (isClosing()) return true;
        state->running = false;
        trap.run(140, [&] { setMousePointer(PointerDefault); });
        trap.run(142, [&] { ProgressBar1->setValue(0); });
        trap.run(144, [&] { ProgressBar1->setCaption(QStringLiteral("Progress Bar")); });
        trap.run(145, [&] { desktopSignals().runEnded(summary.items(), summary.failedCount()); });
        trap.run(146, [&] { dialogs_.msgBox(summary.finalMessage()); });
        return false;
    }();
    state->running = false;
    if (closedDuringRun) {
        IsDownloading = false;
        return;
    }
    trap.run(152, [&] { IsDownloading = false; });
}
