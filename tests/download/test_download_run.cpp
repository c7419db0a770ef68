// The start button driving a whole run on the window (offscreen), against a loopback server.
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>

#include "app/Form1.h"
#include "support/RunOptions.h"
#include "download/TransferTypes.h"
#include "harness/FolderContents.h"
#include "harness/LoopbackServer.h"
#include "harness/RunWait.h"
#include "harness/ScriptedDialogs.h"
#include "harness/Timing.h"
#include "harness/WindowCalls.h"

using namespace std::chrono_literals;

namespace {

QString s(const char* text) { return QString::fromUtf8(text); }

struct Snapshot {
    int value;
    QString caption;
    int pointer;
    bool operator==(const Snapshot&) const = default;
};

struct RunFixture : ::testing::Test {
    // Torn down in reverse: the window's engine closes its connections before the server stops.
    std::atomic<bool> released{false};
    WindowCalls toWindow;  // outlives the server, whose threads post to it
    LoopbackServer http;
    ScriptedDialogs dialogs;
    Settings::Store settings;  // the test home's own
    Form1 form{dialogs, settings};
    QTemporaryDir dir;
    // What the window showed, sampled while the run waits on the network.
    std::vector<Snapshot> seen;
    QTimer poll;
    std::function<void(const Snapshot&)> onChange;
    // Called on the server's thread as a /slow/ request comes in, with the name asked for.
    std::function<void(const std::string&)> onSlow;

    RunFixture() {
        form.setTransferLimits(Download::TransferLimits{2000, 1, 5, 4, {20, 40, 80}});
        // One transfer at a time, as these cases watch one item after another.
        RunOptions::Write(settings, RunOptions::Values{1, 0});
        // Each item takes a moment, so the window's state during it can be seen.
        http.server().Get("/slow/(.*)", [this](const httplib::Request& req, httplib::Response& res) {
            if (onSlow) onSlow(req.matches[1].str());
            std::this_thread::sleep_for(60ms);
            res.set_content("data " + req.matches[1].str(), "application/octet-stream");
        });
        // Long enough for the bar, which changes a few times a second, to show each of them.
        http.server().Get("/slower/(.*)", [](const httplib::Request& req, httplib::Response& res) {
            std::this_thread::sleep_for(400ms);
            res.set_content("data " + req.matches[1].str(), "application/octet-stream");
        });
        http.server().Get("/stall.bin", [this](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider("application/octet-stream", [this](size_t, httplib::DataSink&) {
                for (int k = 0; k < 250 && !released; ++k) std::this_thread::sleep_for(20ms);
                return false;
            });
        });
        poll.setInterval(2);
        QObject::connect(&poll, &QTimer::timeout, [this] {
            Snapshot now{form.ProgressBar1->value(), form.ProgressBar1->caption(), form.mousePointer()};
            if (seen.empty() || !(seen.back() == now)) {
                seen.push_back(now);
                if (onChange) onChange(now);
            }
        });
    }
    ~RunFixture() override { released = true; }

    QString folder() const { return dir.path(); }
    void add(const QString& path) { form.urlList().append(http.url(path)); }
    void press() {
        poll.start();
        EXPECT_TRUE(ClickStartAndWait(form));
        poll.stop();
    }
};

}  // namespace

TEST_F(RunFixture, FolderCheckComesBeforeListCheckAndNeitherTouchesBarOrPointer) {
    form.setMousePointer(PointerArrow);
    form.Text1->setText(QString());
    press();
    form.Text1->setText(dir.filePath(s("missing")));
    press();
    QFile file(dir.filePath(s("file.txt")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    form.Text1->setText(file.fileName());
    press();
    form.Text1->setText(folder());
    press();
    const QString noFolder = s("Folder does not exist. Please select another folder.");
    EXPECT_EQ(dialogs.messageTexts(), (QStringList{noFolder, noFolder, noFolder, s("List is empty.")}));
    for (const auto& m : dialogs.messages) {
        EXPECT_EQ(m.code, Dialogs::OkOnly);
        EXPECT_EQ(m.caption, dialogs.applicationTitle());
    }
    EXPECT_EQ(form.mousePointer(), PointerArrow);
    EXPECT_EQ(form.ProgressBar1->value(), 0);
    EXPECT_EQ(form.ProgressBar1->caption(), s("Progress Bar"));
    EXPECT_FALSE(form.IsDownloading);
    EXPECT_EQ(entriesOf(folder()), QStringList{s("file.txt")});
}

TEST_F(RunFixture, RunShowsTheShareOfBytesTheItemsNameAndCountAndTheButtonStops) {
    http.start();
    add(s("/slower/pic.jpg"));
    add(s("/slower/pic.jpg"));
    add(s("/slower/other.png"));
    form.Text1->setText(folder() + s("/"));
    QStringList buttonTexts;
    onChange = [&](const Snapshot& snap) {
        if (snap.pointer != PointerBusy) return;
        if (buttonTexts.isEmpty() || buttonTexts.back() != form.PushButton2->text())
            buttonTexts << form.PushButton2->text();
    };
    press();
    const QString wait = s("Please wait.. Processing: ");
    // The share of the run's bytes (12 of 36 once the first of three alike has ended: the others
    // count as its size), the item's file name and how many have ended; several samples of one
    // item may differ only in its figures.
    std::vector<Snapshot> during;
    for (const auto& snap : seen)
        if (snap.pointer == PointerBusy && (during.empty() || during.back().value != snap.value)) during.push_back(snap);
    ASSERT_EQ(during.size(), 3u);
    EXPECT_EQ(during[0].value, 0);
    EXPECT_TRUE(during[0].caption.startsWith(wait + s("pic.jpg \u00b7 "))) << during[0].caption.toStdString();
    EXPECT_TRUE(during[0].caption.endsWith(s(" \u00b7 0 of 3 done"))) << during[0].caption.toStdString();
    EXPECT_EQ(during[1].value, 33);
    EXPECT_TRUE(during[1].caption.startsWith(wait + s("pic"))) << during[1].caption.toStdString();
    EXPECT_TRUE(during[1].caption.endsWith(s(" \u00b7 1 of 3 done"))) << during[1].caption.toStdString();
    EXPECT_EQ(during[2].value, 66);
    EXPECT_TRUE(during[2].caption.startsWith(wait + s("other.png \u00b7 "))) << during[2].caption.toStdString();
    EXPECT_TRUE(during[2].caption.endsWith(s(" \u00b7 2 of 3 done"))) << during[2].caption.toStdString();
    EXPECT_EQ(form.ProgressBar1->accessibleName(), s("Progress Bar"));
    EXPECT_EQ(buttonTexts, QStringList{s("Stop Downloading")});
    EXPECT_EQ(form.PushButton2->text(), s("Start Downloading"));

    EXPECT_EQ(dialogs.messageTexts(), QStringList{s("Done.\r\n3 stored.")});
    EXPECT_EQ(form.ProgressBar1->value(), 0);
    EXPECT_EQ(form.ProgressBar1->caption(), s("Progress Bar"));
    EXPECT_EQ(form.mousePointer(), PointerDefault);
    EXPECT_FALSE(form.IsDownloading);
    EXPECT_EQ(entriesOf(folder()), (QStringList{s("other.png"), s("pic (1).jpg"), s("pic.jpg")}));
}

TEST_F(RunFixture, FolderTextChangedDuringTheRunAppliesToTheNextRunOnly) {
    http.start();
    QTemporaryDir second;
    for (const char* p : {"/slow/1.txt", "/slow/2.txt", "/slow/3.txt"}) add(s(p));
    form.Text1->setText(folder());
    // The folder changes while the first item comes in; the first answer waits for it.
    std::atomic<bool> changed{false};
    onSlow = [&](const std::string& name) {
        if (name != "1.txt") return;
        toWindow.post([&] {
            form.Text1->setText(second.path());
            changed = true;
        });
        for (int k = 0; k < 500 && !changed; ++k) std::this_thread::sleep_for(10ms);
    };
    press();
    EXPECT_TRUE(changed);
    EXPECT_EQ(dialogs.messageTexts(), QStringList{s("Done.\r\n3 stored.")});
    // Half-typed folders never scatter a run: every file goes where the run began.
    EXPECT_EQ(entriesOf(folder()), (QStringList{s("1.txt"), s("2.txt"), s("3.txt")}));
    EXPECT_TRUE(entriesOf(second.path()).isEmpty());
    // The next run takes the folder the box names then.
    onSlow = nullptr;
    press();
    EXPECT_EQ(entriesOf(second.path()), (QStringList{s("1.txt"), s("2.txt"), s("3.txt")}));
}

TEST_F(RunFixture, AFolderWrittenWithATildeIsInTheHomeFolder) {
    http.start();
    add(s("/slow/home.txt"));
    // The test's home is a folder of its own.
    const QString sub = s("tilde-%1").arg(QCoreApplication::applicationPid());
    ASSERT_TRUE(QDir::home().mkpath(sub));
    form.Text1->setText(s("~/") + sub);
    press();
    EXPECT_EQ(dialogs.messageTexts(), QStringList{s("Done.\r\n1 stored.")});
    EXPECT_TRUE(QFile::exists(QDir::home().filePath(sub + s("/home.txt"))));
    QDir(QDir::home().filePath(sub)).removeRecursively();
}

TEST_F(RunFixture, FailedItemsAreNamedInTheFinalMessage) {
    http.start();
    add(s("/missing.jpg"));
    add(s("/slow/ok.jpg"));
    form.urlList().append(s("http://127.0.0.1:1/refused.jpg"));
    form.Text1->setText(folder());
    press();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    const QStringList lines = dialogs.messages[0].text.split(s("\r\n"));
    ASSERT_EQ(lines.size(), 8) << dialogs.messages[0].text.toStdString();
    EXPECT_EQ(lines[0], s("Done."));
    EXPECT_EQ(lines[1], s("1 stored, 2 failed."));
    EXPECT_EQ(lines[2], QString());
    EXPECT_EQ(lines[3], s("2 of 3 downloads failed:"));
    EXPECT_EQ(lines[4], http.url(s("/missing.jpg")) + s(" - HTTP 404"));
    EXPECT_TRUE(lines[5].startsWith(s("http://127.0.0.1:1/refused.jpg - "))) << lines[5].toStdString();
    EXPECT_EQ(lines[6], QString());
    EXPECT_EQ(lines[7], s("To try the others again, right-click the list and choose Remove Stored Entries."));
    EXPECT_EQ(entriesOf(folder()), QStringList{s("ok.jpg")});
    EXPECT_EQ(form.mousePointer(), PointerDefault);
}

TEST_F(RunFixture, EntriesRemovedDuringTheRunAreReportedAndTheRestIsFetchedOnce) {
    http.start();
    for (const char* p : {"/slow/1.txt", "/slow/2.txt", "/slow/3.txt", "/slow/4.txt", "/slow/5.txt"}) add(s(p));
    form.Text1->setText(folder());
    bool pruned = false;
    // While the third item comes in, the window has already handed the rest to the engine.
    onSlow = [&](const std::string& name) {
        if (name != "3.txt") return;
        toWindow.post([&] {
            pruned = true;
            // One behind the items taken, one ahead of them; one added at the end.
            form.urlList().removeAt(4);
            form.urlList().removeAt(1);
            form.urlList().append(http.url(s("/slow/6.txt")));
        });
    };
    press();
    ASSERT_TRUE(pruned);
    EXPECT_EQ(dialogs.messageTexts(),
              QStringList{s("Done.\r\n5 stored.\r\n\r\n1 entry was removed from the list before it was reached.")});
    EXPECT_EQ(entriesOf(folder()), (QStringList{s("1.txt"), s("2.txt"), s("3.txt"), s("5.txt"), s("6.txt")}));
    // Each outcome is on its own entry, though the rows moved.
    ASSERT_EQ(form.urlList().count(), 4);
    for (int i = 1; i <= 4; ++i) {
        EXPECT_EQ(form.urlList().outcomeAt(i), UrlList::Outcome::Stored) << i;
        EXPECT_TRUE(form.urlList().noteAt(i).endsWith(QFileInfo(form.urlList().textAt(i)).fileName())) << i;
    }
    EXPECT_EQ(form.ProgressBar1->caption(), s("Progress Bar"));
    EXPECT_FALSE(form.IsDownloading);
}

TEST_F(RunFixture, ClosingTheWindowAbortsTheTransferAndEndsTheRunQuietly) {
    http.start();
    add(s("/stall.bin"));
    add(s("/slow/never.txt"));
    form.Text1->setText(folder());
    form.show();
    QApplication::setQuitOnLastWindowClosed(false);
    QElapsedTimer sinceClose;
    bool sawNothing = false;
    onChange = [&](const Snapshot& now) {
        if (now.caption.contains(s("Processing: stall.bin")) && !sinceClose.isValid()) {
            QTimer::singleShot(150, &form, [&] {
                // The body comes in to a file without a name.
                sawNothing = entriesOf(folder()).isEmpty();
                sinceClose.start();
                form.close();
            });
        }
    };
    press();
    QApplication::setQuitOnLastWindowClosed(true);
    ASSERT_TRUE(sinceClose.isValid());
    EXPECT_LT(sinceClose.elapsed(), Timing::boundMs(500));
    EXPECT_TRUE(sawNothing);
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_TRUE(entriesOf(folder()).isEmpty());
    EXPECT_FALSE(form.IsDownloading);
}

TEST_F(RunFixture, ClosingWhileEarlierFilesAreStillBeingFinishedKeepsThemWhole) {
    http.server().Get("/quick/(.*)", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content(std::string(200000, 'q') + req.matches[1].str(), "application/octet-stream");
    });
    http.start();
    {
        ScriptedDialogs ownDialogs;
        Form1 window{ownDialogs, settings};
        window.setTransferLimits(Download::TransferLimits{2000, 1, 5, 4, {20, 40, 80}});
        for (int k = 0; k < 30; ++k) window.urlList().append(http.url(s("/quick/%1.bin").arg(k)));
        window.urlList().append(http.url(s("/stall.bin")));
        window.Text1->setText(folder());
        window.show();
        QApplication::setQuitOnLastWindowClosed(false);
        QTimer closer;
        closer.setInterval(2);
        QObject::connect(&closer, &QTimer::timeout, [&] {
            if (window.ProgressBar1->caption().contains(s("Processing: stall.bin"))) window.close();
        });
        closer.start();
        EXPECT_TRUE(ClickStartAndWait(window));
        QApplication::setQuitOnLastWindowClosed(true);
        EXPECT_TRUE(ownDialogs.messages.empty());
    }
    // The window is gone: every file fetched before the close is stored whole, nothing else.
    QStringList expected;
    for (int k = 0; k < 30; ++k) expected << s("%1.bin").arg(k);
    expected.sort();
    EXPECT_EQ(entriesOf(folder()), expected);
    for (int k = 0; k < 30; ++k)
        EXPECT_EQ(contentOf(dir.filePath(s("%1.bin").arg(k))), QByteArray(200000, 'q') + QByteArray::number(k) + ".bin");
}
