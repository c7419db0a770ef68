// Watching, stopping and finishing a run on the window (offscreen), against a loopback server:
// Stop and Esc, the caption's figures, each row's outcome and "Remove Stored Entries".
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QDir>
#include <QIcon>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>

#include "app/CaptionProgressBar.h"
#include "app/Form1.h"
#include "support/RunOptions.h"
#include "app/ListActions.h"
#include "app/RunProgress.h"
#include "download/TransferTypes.h"
#include "download/UnfinishedWork.h"
#include "harness/FolderContents.h"
#include "harness/LoopbackServer.h"
#include "harness/RunWait.h"
#include "harness/Timing.h"
#include "harness/ScriptedDialogs.h"
#include "harness/WindowCalls.h"

using namespace std::chrono_literals;

namespace {

QString s(const char* text) { return QString::fromUtf8(text); }
const QString kHint = s("To try the others again, right-click the list and choose Remove Stored Entries.");

struct ControlFixture : ::testing::Test {
    std::atomic<bool> released{false};
    std::atomic<int> busyCalls{0};
    WindowCalls toWindow;  // outlives the server, whose threads post to it
    LoopbackServer http;
    ScriptedDialogs dialogs;
    Settings::Store settings;  // the test home's own
    Form1 form{dialogs, settings};
    QTemporaryDir dir;
    QTimer poll;
    std::function<void()> onPoll;

    ControlFixture() {
        form.setTransferLimits(Download::TransferLimits{2000, 2, 5, 4, {20, 40, 80}});
        // One transfer at a time, as these cases watch one item after another.
        RunOptions::Write(settings, RunOptions::Values{1, 0});
        form.Text1->setText(dir.path());
        http.server().Get("/files/(.*)", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content("data " + req.matches[1].str(), "application/octet-stream");
        });
        // 8 MB at about 1.6 MB/s until the test lets go, then at once.
        http.server().Get("/big.iso", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content_provider(8000000, "application/octet-stream",
                                     [this](size_t, size_t length, httplib::DataSink& sink) {
                                         if (!released) std::this_thread::sleep_for(20ms);
                                         const std::string chunk(std::min<size_t>(length, 32 * 1024), 'b');
                                         sink.write(chunk.data(), chunk.size());
                                         return true;
                                     });
        });
        http.server().Get("/busy", [this](const httplib::Request&, httplib::Response& res) {
            ++busyCalls;
            res.status = 503;
        });
        poll.setInterval(5);
        QObject::connect(&poll, &QTimer::timeout, [this] {
            if (onPoll) onPoll();
        });
    }
    ~ControlFixture() override { released = true; }

    void add(const char* path) { form.urlList().append(http.url(s(path))); }
    void press() {
        poll.start();
        EXPECT_TRUE(ClickStartAndWait(form));
        poll.stop();
    }
    QStringList entries() {
        QStringList all;
        for (int i = 1; i <= form.urlList().count(); ++i) all << form.urlList().textAt(i);
        return all;
    }
    std::vector<UrlList::Outcome> outcomes() {
        std::vector<UrlList::Outcome> all;
        for (int i = 1; i <= form.urlList().count(); ++i) all.push_back(form.urlList().outcomeAt(i));
        return all;
    }
    // What a row's tip says of the last run: the line after the address.
    QString toolTip(int position) {
        const QString tip = form.urlList().data(form.urlList().index(position - 1), Qt::ToolTipRole).toString();
        const QStringList lines = tip.split(QLatin1Char('\n'));
        EXPECT_EQ(lines.front(), form.urlList().textAt(position));
        return lines.size() > 1 ? lines.back() : QString();
    }
    void removeStoredFromMenu() {
        std::unique_ptr<QMenu> menu(form.findChild<ListActions*>()->buildContextMenu());
        for (QAction* action : menu->actions()) {
            if (action->text() == s("Remove Stored Entries")) {
                ASSERT_TRUE(action->isEnabled());
                action->trigger();
                return;
            }
        }
        ADD_FAILURE() << "no Remove Stored Entries in the list's menu";
    }
};

using Outcome = UrlList::Outcome;

}  // namespace

TEST_F(ControlFixture, StopDuringATransferKeepsWhatIsCompleteAndTheListAndTheNextRunFetchesOnlyTheRest) {
    http.start();
    add("/files/a.txt");
    add("/big.iso");
    add("/files/c.txt");
    const QStringList before = entries();
    QElapsedTimer sinceStop;
    QString captionDuring;
    bool sawNamedTemporary = false;
    qint64 stopTook = -1;
    onPoll = [&] {
        const QString caption = form.ProgressBar1->caption();
        if (!sinceStop.isValid() && caption.contains(s("big.iso")) && caption.contains(s(" left"))) {
            captionDuring = caption;
            for (const QString& name : entriesOf(dir.path())) sawNamedTemporary = sawNamedTemporary || name.endsWith(s(".part"));
            EXPECT_EQ(form.PushButton2->text(), s("Stop Downloading"));
            sinceStop.start();
            form.PushButton2->click();
        }
    };
    dialogs.onMessage = [&](const ShownMessage&) { stopTook = sinceStop.elapsed(); };
    press();
    ASSERT_TRUE(sinceStop.isValid());
    // The item's name, how many are under way, the run's bytes (the one to come counted as the mean
    // of those known), speed, time left and how many have ended, e.g.
    // "big.iso · 1 under way · 1.2 of 12.0 MB · 1.6 MB/s · 0:05 left · 1 of 3 done".
    const QRegularExpression figures(s("^Please wait\\.\\. Processing: big\\.iso \u00b7 1 under way \u00b7 "
                                       "\\d+\\.\\d of \\d+\\.\\d MB \u00b7 \\d+(\\.\\d)? [k]?[MB]?B/s \u00b7 \\d+:\\d\\d left "
                                       "\u00b7 1 of 3 done$"));
    EXPECT_TRUE(figures.match(captionDuring).hasMatch()) << captionDuring.toStdString();
    // The item in progress lives in an anonymous file: nothing in the folder bears its name yet.
    EXPECT_FALSE(sawNamedTemporary);
    EXPECT_GE(stopTook, 0);
    EXPECT_LT(stopTook, Timing::boundMs(1500));  // the abort itself is woken at once; the rest is the closing steps

    EXPECT_EQ(dialogs.messageTexts(), QStringList{s("Stopped.\r\n1 stored.\r\n\r\n2 items were not reached.\r\n\r\n") + kHint});
    EXPECT_EQ(entries(), before);
    EXPECT_EQ(entriesOf(dir.path()), QStringList{s("a.txt")});
    EXPECT_EQ(outcomes(), (std::vector<Outcome>{Outcome::Stored, Outcome::NotReached, Outcome::NotReached}));
    EXPECT_EQ(toolTip(1), s("Stored as ") + dir.filePath(s("a.txt")));
    EXPECT_EQ(toolTip(2), s("Not reached: the run was stopped"));
    EXPECT_EQ(form.PushButton2->text(), s("Start Downloading"));
    EXPECT_FALSE(form.IsDownloading);

    // What is left is fetched, and nothing twice.
    removeStoredFromMenu();
    EXPECT_EQ(entries(), (QStringList{before[1], before[2]}));
    released = true;
    dialogs.messages.clear();
    press();
    EXPECT_EQ(dialogs.messageTexts(), QStringList{s("Done.\r\n2 stored.")});
    EXPECT_EQ(entriesOf(dir.path()), (QStringList{s("a.txt"), s("big.iso"), s("c.txt")}));
    EXPECT_EQ(QFileInfo(dir.filePath(s("big.iso"))).size(), 8000000);
}

TEST_F(ControlFixture, RowsShowTheirOutcomesWhileTheRunIsStillGoing) {
    http.start();
    add("/files/a.txt");
    add("/missing.jpg");
    add("/files/b.txt");
    add("/big.iso");
    add("/files/c.txt");
    std::vector<Outcome> during;
    QElapsedTimer sinceBig;
    onPoll = [&] {
        if (!form.ProgressBar1->caption().contains(s("big.iso"))) return;
        if (!sinceBig.isValid()) sinceBig.start();
        const std::vector<Outcome> now = outcomes();
        // The three before it are finished; the ticker shows them within a moment.
        if ((now[0] != Outcome::None && now[1] != Outcome::None && now[2] != Outcome::None) ||
            sinceBig.elapsed() > Timing::boundMs(2000)) {
            during = now;
            QTest::keyClick(&form, Qt::Key_Escape);
        }
    };
    press();
    ASSERT_EQ(during.size(), 5u);
    EXPECT_EQ(during, (std::vector<Outcome>{Outcome::Stored, Outcome::Failed, Outcome::Stored, Outcome::None, Outcome::None}));
    EXPECT_EQ(outcomes(),
              (std::vector<Outcome>{Outcome::Stored, Outcome::Failed, Outcome::Stored, Outcome::NotReached, Outcome::NotReached}));
    EXPECT_EQ(toolTip(2), s("Failed: HTTP 404"));
}

TEST_F(ControlFixture, EscStopsTheWaitBeforeARetry) {
    form.setTransferLimits(Download::TransferLimits{2000, 2, 5, 4, {20000}});
    http.start();
    add("/busy");
    add("/files/b.txt");
    form.show();
    QElapsedTimer sinceEsc;
    QString rowDuring;
    qint64 stopTook = -1;
    onPoll = [&] {
        // The waiting row says when its next try comes.
        const QString row = form.urlList().data(form.urlList().index(0), UrlList::ProgressTextRole).toString();
        if (!sinceEsc.isValid() && row.startsWith(s("retry in"))) {
            rowDuring = row;
            sinceEsc.start();
            QTest::keyClick(form.ListView1, Qt::Key_Escape);
        }
    };
    dialogs.onMessage = [&](const ShownMessage&) { stopTook = sinceEsc.elapsed(); };
    press();
    ASSERT_TRUE(sinceEsc.isValid()) << "the row never told of the coming try";
    EXPECT_TRUE(QRegularExpression(s("^retry in 0:(19|20)$")).match(rowDuring).hasMatch()) << rowDuring.toStdString();
    EXPECT_GE(stopTook, 0);
    EXPECT_LT(stopTook, 1500);
    EXPECT_EQ(busyCalls, 1);
    // Nothing was stored, so there is nothing to remove before trying again.
    EXPECT_EQ(dialogs.messageTexts(), QStringList{s("Stopped.\r\n\r\n2 items were not reached.")});
    EXPECT_TRUE(entriesOf(dir.path()).isEmpty());
    EXPECT_EQ(outcomes(), (std::vector<Outcome>{Outcome::NotReached, Outcome::NotReached}));
}

TEST_F(ControlFixture, StopAsTheNextItemBeginsStartsNoLaterItemAndASecondClickStartsNoSecondRun) {
    // The second item's request is where the stop comes: the first is stored by then, and the
    // server holds the answer until the run lets go of it.
    std::atomic<bool> asked{false};
    http.server().Get("/hold/(.*)", [&](const httplib::Request&, httplib::Response& res) {
        if (!asked.exchange(true)) {
            toWindow.post([this] {
                form.PushButton2->click();
                form.PushButton2->click();  // still the same run, stopping
                EXPECT_TRUE(form.isStopping());
            });
        }
        res.set_chunked_content_provider("application/octet-stream", [this](size_t, httplib::DataSink&) {
            for (int k = 0; k < 250 && !released; ++k) std::this_thread::sleep_for(20ms);
            return false;
        });
    });
    http.start();
    add("/files/a.txt");
    add("/hold/b.txt");
    add("/files/c.txt");
    press();
    EXPECT_TRUE(asked);
    EXPECT_EQ(dialogs.messageTexts(), QStringList{s("Stopped.\r\n1 stored.\r\n\r\n2 items were not reached.\r\n\r\n") + kHint});
    EXPECT_EQ(entriesOf(dir.path()), QStringList{s("a.txt")});
    EXPECT_EQ(outcomes(), (std::vector<Outcome>{Outcome::Stored, Outcome::NotReached, Outcome::NotReached}));
}

TEST_F(ControlFixture, EachRowShowsItsOutcomeAndRemoveStoredEntriesLeavesTheFailures) {
    http.start();
    add("/files/a.txt");
    add("/missing.jpg");
    add("/files/b.txt");
    form.urlList().append(s("http://127.0.0.1:1/refused.jpg"));
    press();
    EXPECT_EQ(outcomes(), (std::vector<Outcome>{Outcome::Stored, Outcome::Failed, Outcome::Stored, Outcome::Failed}));
    EXPECT_EQ(toolTip(2), s("Failed: HTTP 404"));
    EXPECT_TRUE(toolTip(4).startsWith(s("Failed: "))) << toolTip(4).toStdString();
    const auto icon = [&](int position) {
        return form.urlList().data(form.urlList().index(position - 1), Qt::DecorationRole).value<QIcon>();
    };
    EXPECT_FALSE(icon(1).isNull());
    EXPECT_FALSE(icon(2).isNull());
    EXPECT_NE(icon(1).cacheKey(), icon(2).cacheKey());
    // The row's text is the entry as it was.
    EXPECT_EQ(form.urlList().data(form.urlList().index(1), Qt::DisplayRole).toString(), http.url(s("/missing.jpg")));

    removeStoredFromMenu();
    EXPECT_EQ(entries(), (QStringList{http.url(s("/missing.jpg")), s("http://127.0.0.1:1/refused.jpg")}));
    // A new run starts with clean rows.
    dialogs.messages.clear();
    press();
    EXPECT_EQ(outcomes(), (std::vector<Outcome>{Outcome::Failed, Outcome::Failed}));
    EXPECT_EQ(entriesOf(dir.path()), (QStringList{s("a.txt"), s("b.txt")}));
}

TEST_F(ControlFixture, StopWithSeveralTransfersUnderWayKeepsTheCompleteFilesAndLeavesNothingPartial) {
    RunOptions::Write(settings, RunOptions::Values{4, 0});
    // Three slow files hold three of the four transfers while the small ones pass by them.
    http.server().Get("/slow/(.*)", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(4000000, "application/octet-stream", [this](size_t, size_t length, httplib::DataSink& sink) {
            if (!released) std::this_thread::sleep_for(20ms);
            const std::string chunk(std::min<size_t>(length, 16 * 1024), 's');
            sink.write(chunk.data(), chunk.size());
            return true;
        });
    });
    http.start();
    add("/slow/1.iso");
    add("/slow/2.iso");
    add("/slow/3.iso");
    for (int k = 0; k < 6; ++k) form.urlList().append(http.url(s("/files/%1.txt").arg(k)));
    QString captionDuring;
    onPoll = [&] {
        const QString caption = form.ProgressBar1->caption();
        // All six small files are stored while the slow ones are still coming.
        if (captionDuring.isEmpty() && caption.contains(s("3 under way")) && caption.contains(s("6 of 9 done"))) {
            captionDuring = caption;
            QTest::keyClick(form.ListView1, Qt::Key_Escape);
        }
    };
    press();
    ASSERT_FALSE(captionDuring.isEmpty()) << "the three slow transfers were never seen at once";
    // The earliest unfinished item leads the caption, then how many are under way and the count.
    EXPECT_TRUE(captionDuring.startsWith(s("Please wait.. Processing: 1.iso \u00b7 3 under way \u00b7 "))) << captionDuring.toStdString();
    EXPECT_TRUE(captionDuring.endsWith(s(" \u00b7 6 of 9 done"))) << captionDuring.toStdString();
    EXPECT_EQ(dialogs.messageTexts(), QStringList{s("Stopped.\r\n6 stored.\r\n\r\n3 items were not reached.\r\n\r\n") + kHint});
    QStringList small;
    for (int k = 0; k < 6; ++k) small << s("%1.txt").arg(k);
    EXPECT_EQ(entriesOf(dir.path()), small);
    EXPECT_EQ(outcomes(), (std::vector<Outcome>{Outcome::NotReached, Outcome::NotReached, Outcome::NotReached, Outcome::Stored,
                                                Outcome::Stored, Outcome::Stored, Outcome::Stored, Outcome::Stored, Outcome::Stored}));
    EXPECT_FALSE(form.IsDownloading);
}

TEST_F(ControlFixture, ClosingTheWindowWithSeveralTransfersUnderWayEndsTheRunQuietlyAndLeavesNothingPartial) {
    RunOptions::Write(settings, RunOptions::Values{4, 0});
    http.start();
    for (const char* path : {"/big.iso", "/big.iso", "/files/a.txt"}) add(path);
    form.show();
    QApplication::setQuitOnLastWindowClosed(false);
    onPoll = [&] {
        if (form.ProgressBar1->caption().contains(s("2 under way")) && entriesOf(dir.path()).contains(s("a.txt"))) form.close();
    };
    press();
    QApplication::setQuitOnLastWindowClosed(true);
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_EQ(entriesOf(dir.path()), QStringList{s("a.txt")});
}

TEST_F(ControlFixture, OptionsAreShownAsStoredAndKeptOnlyWhenAccepted) {
    // A value that cannot be read, or lies outside its range, reads as the default.
    settings.write(s("Downloads At Once"), s("12"));
    settings.write(s("Speed Limit"), s("fast"));
    dialogs.optionsAnswers.push_back(RunOptions::Values{6, 250});
    form.PushButton18->click();
    ASSERT_EQ(dialogs.optionsShown.size(), 1u);
    EXPECT_EQ(dialogs.optionsShown[0], (RunOptions::Values{4, 0}));
    EXPECT_EQ(settings.read(s("Downloads At Once"), QString()), s("6"));
    EXPECT_EQ(settings.read(s("Speed Limit"), QString()), s("250"));
    // Ctrl+, opens it too; Cancel changes nothing.
    dialogs.optionsAnswers.push_back(std::nullopt);
    form.show();
    QApplication::setActiveWindow(&form);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    QTest::keyClick(form.ListView1, Qt::Key_Comma, Qt::ControlModifier);
    ASSERT_EQ(dialogs.optionsShown.size(), 2u);
    EXPECT_EQ(dialogs.optionsShown[1], (RunOptions::Values{6, 250}));
    EXPECT_EQ(RunOptions::Read(settings), (RunOptions::Values{6, 250}));
    // Splitting big files is on unless turned off, and kept as a truth text.
    EXPECT_EQ(settings.read(s("Split Big Files"), QString()), s("True"));
    RunOptions::Values off{6, 250};
    off.splitBigFiles = false;
    dialogs.optionsAnswers.push_back(off);
    form.PushButton18->click();
    EXPECT_EQ(settings.read(s("Split Big Files"), QString()), s("False"));
    EXPECT_FALSE(RunOptions::Read(settings).splitBigFiles);
}

TEST_F(ControlFixture, StartIsRefusedWhileAPageIsStillBeingReadIntoTheList) {
    http.server().Get("/page.html", [](const httplib::Request&, httplib::Response& res) {
        std::this_thread::sleep_for(600ms);
        res.set_content("<a href=\"/files/x.txt\">x</a>", "text/html");
    });
    http.start();
    add("/files/a.txt");
    dialogs.inputAnswers.push_back(http.url(s("/page.html")));
    bool pressedDuring = false;
    QTimer::singleShot(200, &form, [&] {
        pressedDuring = form.isBusy();
        form.PushButton2->click();
    });
    form.PushButton7->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !form.isBusy(); }, Timing::boundMs(5000)));
    EXPECT_TRUE(pressedDuring);
    EXPECT_EQ(dialogs.messageTexts(), QStringList{s("The list is still being filled. Please start when it is complete.")});
    EXPECT_FALSE(form.IsDownloading);
    EXPECT_TRUE(entriesOf(dir.path()).isEmpty());
    EXPECT_EQ(form.urlList().count(), 2);
}

TEST_F(ControlFixture, AStoppedRunLeavesTheEntriesItDidNotStoreToBeOfferedAndAFinishedOneLeavesNothing) {
    http.start();
    const QString state = dir.filePath(s("state"));
    qputenv("XDG_STATE_HOME", QFile::encodeName(state));
    {
        ScriptedDialogs ownDialogs;
        Form1 window{ownDialogs, settings};
        window.setTransferLimits(Download::TransferLimits{2000, 2, 5, 4, {20, 40, 80}});
        window.Text1->setText(dir.path());
        for (const char* path : {"/files/a.txt", "/big.iso", "/files/c.txt"}) window.urlList().append(http.url(s(path)));
        QTimer stopper;
        stopper.setInterval(5);
        QObject::connect(&stopper, &QTimer::timeout, [&] {
            if (window.ProgressBar1->caption().contains(s("big.iso")) && QFile::exists(dir.filePath(s("a.txt"))))
                window.stopDownloading();
        });
        stopper.start();
        EXPECT_TRUE(ClickStartAndWait(window));
        EXPECT_EQ(ownDialogs.messageTexts(), QStringList{s("Stopped.\r\n1 stored.\r\n\r\n2 items were not reached.\r\n\r\n") + kHint});
    }
    auto leftover = Download::UnfinishedRunRecord::FindLeftover(state + s("/Fetchwright"));
    ASSERT_TRUE(leftover.has_value());
    EXPECT_EQ(leftover->run().folder, dir.path());
    EXPECT_EQ(leftover->run().entries, (QStringList{http.url(s("/big.iso")), http.url(s("/files/c.txt"))}));
    std::move(*leftover).discard();

    released = true;
    {
        ScriptedDialogs ownDialogs;
        Form1 window{ownDialogs, settings};
        window.Text1->setText(dir.path());
        window.urlList().append(http.url(s("/files/d.txt")));
        EXPECT_TRUE(ClickStartAndWait(window));
    }
    EXPECT_FALSE(Download::UnfinishedRunRecord::FindLeftover(state + s("/Fetchwright")).has_value());
    qunsetenv("XDG_STATE_HOME");
}

TEST_F(ControlFixture, AStopWithAKeptPartPausesItsItemAndTheClosingMessageCountsItApart) {
    qputenv("XDG_STATE_HOME", QFile::encodeName(dir.filePath(s("state"))));
    // 12 MB with a validator: kept as a part from 8 MiB on.
    http.server().Get("/kept.iso", [this](const httplib::Request&, httplib::Response& res) {
        res.set_header("ETag", "\"k\"");
        res.set_header("Accept-Ranges", "bytes");
        res.set_content_provider(12000000, "application/octet-stream", [this](size_t, size_t length, httplib::DataSink& sink) {
            if (!released) std::this_thread::sleep_for(5ms);
            const std::string chunk(std::min<size_t>(length, 64 * 1024), 'k');
            sink.write(chunk.data(), chunk.size());
            return true;
        });
    });
    http.start();
    add("/files/a.txt");
    add("/kept.iso");
    add("/files/c.txt");
    QString rowDuring;
    onPoll = [&] {
        // Under way, its row shows its share; Stop once most of it is in its kept part.
        const QModelIndex row = form.urlList().index(1);
        if (row.data(UrlList::ProgressRole).toDouble() > 0.6 && QFile::exists(dir.filePath(s("kept.iso.part")))) {
            rowDuring = row.data(UrlList::ProgressTextRole).toString();
            form.stopDownloading();
        }
    };
    press();
    onPoll = nullptr;
    // Its speed follows once the run has a sample of it, which a busy machine may not have yet.
    EXPECT_TRUE(QRegularExpression(s("^[6-9]\\d %( \u00b7 |$)")).match(rowDuring).hasMatch()) << rowDuring.toStdString();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    const QString closing = dialogs.messages[0].text;
    EXPECT_TRUE(QRegularExpression(s("^Stopped\\.\r\n1 stored\\.\r\n\r\n1 download was paused with \\d+\\.\\d MB kept; Start continues it\\."
                                     "\r\n\r\n1 item was not reached\\.\r\n\r\n") + QRegularExpression::escape(kHint) + s("$"))
                    .match(closing)
                    .hasMatch())
        << closing.toStdString();
    EXPECT_EQ(outcomes(), (std::vector<Outcome>{Outcome::Stored, Outcome::Paused, Outcome::NotReached}));
    EXPECT_TRUE(QRegularExpression(s("^Paused at \\d+\\.\\d of 12\\.0 MB; Start continues it$")).match(toolTip(2)).hasMatch())
        << toolTip(2).toStdString();
    EXPECT_FALSE(form.urlList().index(1).data(UrlList::ProgressRole).isValid()) << "no row is under way any more";

    // Start goes on from the part.
    removeStoredFromMenu();
    released = true;
    dialogs.messages.clear();
    press();
    EXPECT_EQ(dialogs.messageTexts(), QStringList{s("Done.\r\n2 stored.")});
    EXPECT_EQ(QFileInfo(dir.filePath(s("kept.iso"))).size(), 12000000);
    EXPECT_FALSE(QFile::exists(dir.filePath(s("kept.iso.part"))));
    qunsetenv("XDG_STATE_HOME");
}

TEST_F(ControlFixture, ARunStartedTheMomentTheLastOneEndedIsNotStoppedByWhatIsLeftOfIt) {
    http.start();
    add("/files/a.txt");
    int ended = 0;
    // The next run begins inside the last one's end, before the window's loop has cleared it away.
    QObject::connect(&form, &Form1::downloadEnded, &form, [&] {
        if (++ended == 1) {
            form.urlList().clear();
            add("/files/b.txt");
            form.PushButton2->click();
        }
    });
    form.PushButton2->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ended == 2; }, Timing::boundMs(10000)));
    EXPECT_EQ(dialogs.messageTexts(), (QStringList{s("Done.\r\n1 stored."), s("Done.\r\n1 stored.")}));
    EXPECT_EQ(entriesOf(dir.path()), (QStringList{s("a.txt"), s("b.txt")}));
}
