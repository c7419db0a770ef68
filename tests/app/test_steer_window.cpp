// Steering items from the window's list: Space pauses and resumes rows (during a run and
// outside one), Delete removes a transfer under way while a double-click does not, and Retry
// Failed runs the failed rows alone; the menu offers each command only where it applies.
#include <gtest/gtest.h>

#include <QAction>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include "app/Form1.h"
#include "app/ListActions.h"
#include "harness/FolderContents.h"
#include "harness/LoopbackServer.h"
#include "harness/RunWait.h"
#include "harness/ScriptedDialogs.h"
#include "harness/SteerRoutes.h"
#include "harness/Timing.h"

#include <atomic>
#include <chrono>
#include <thread>

using namespace std::chrono_literals;

namespace {
QString s(const char* text) { return QString::fromUtf8(text); }

struct SteerWindowTest : ::testing::Test, SteerRoutes {
    // Before the window, so that the window's connections are closed before the server stops.
    LoopbackServer http;
    ScriptedDialogs dialogs;
    Settings::Store settings;
    Form1 form{dialogs, settings};
    QTemporaryDir dir;

    SteerWindowTest() {
        addTo(http.server());
        http.start();
        form.Text1->setText(dir.path());
    }
    ~SteerWindowTest() override { released = true; }

    void add(std::initializer_list<const char*> paths) {
        QStringList texts;
        for (const char* path : paths) texts << http.url(s(path));
        form.urlList().appendMany(texts);
    }
    void selectRows(std::initializer_list<int> rows) {
        QItemSelection selection;
        for (int row : rows) selection.select(form.urlList().index(row), form.urlList().index(row));
        form.ListView1->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        form.ListView1->selectionModel()->setCurrentIndex(form.urlList().index(*rows.begin()), QItemSelectionModel::NoUpdate);
    }
    void key(Qt::Key k, Qt::KeyboardModifiers mods = Qt::NoModifier) { QTest::keyClick(form.ListView1, k, mods); }
    UrlList::Outcome outcome(int position) { return form.urlList().outcomeAt(position); }
    // The context menu's run commands: "text" or "text (off)".
    QStringList runCommands() {
        std::unique_ptr<QMenu> menu(form.findChild<ListActions*>()->buildContextMenu());
        QStringList texts;
        for (const QAction* action : menu->actions()) {
            const QString text = action->text();
            if (text == s("Pause") || text == s("Resume") || text == s("Retry Now") || text == s("Remove") || text == s("Retry Failed"))
                texts << text + (action->isEnabled() ? QString() : s(" (off)"));
        }
        return texts;
    }
};
}  // namespace

TEST_F(SteerWindowTest, RowsPausedOutsideARunStayOutOfItUntilResumed) {
    add({"/files/a.bin", "/files/b.bin", "/files/c.bin"});
    EXPECT_EQ(runCommands(), (QStringList{s("Pause (off)"), s("Retry Now (off)"), s("Remove (off)"), s("Retry Failed (off)")}));
    selectRows({1});
    EXPECT_EQ(runCommands(), (QStringList{s("Pause"), s("Retry Now (off)"), s("Remove"), s("Retry Failed (off)")}));
    key(Qt::Key_Space);
    EXPECT_EQ(outcome(2), UrlList::Outcome::Held);
    EXPECT_EQ(runCommands().first(), s("Resume"));
    ASSERT_TRUE(ClickStartAndWait(form));
    EXPECT_EQ(entriesOf(dir.path()), (QStringList{s("a.bin"), s("c.bin")}));
    // The next Start leaves it as it is, until Ctrl+P (as Space) resumes it.
    EXPECT_EQ(outcome(2), UrlList::Outcome::Held);
    selectRows({1});
    key(Qt::Key_P, Qt::ControlModifier);
    EXPECT_EQ(outcome(2), UrlList::Outcome::None);
    ASSERT_TRUE(ClickStartAndWait(form));
    EXPECT_EQ(entriesOf(dir.path()), (QStringList{s("a (1).bin"), s("a.bin"), s("b.bin"), s("c (1).bin"), s("c.bin")}));
}

TEST_F(SteerWindowTest, DuringARunSpacePausesAndResumesATransferAndDeleteRemovesOneButADoubleClickDoesNot) {
    add({"/stall/s.bin", "/stall/t.bin", "/files/a.bin"});
    settings.write(s("Downloads At Once"), s("2"));
    QStringList duringCommands;
    bool doubleClickKept = false;
    UrlList::Outcome pausedRow = UrlList::Outcome::None;
    form.PushButton2->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return stalled.load() >= 2; }, Timing::boundMs(10000)));
    selectRows({0});
    duringCommands = runCommands();
    // A double-click on a row under way removes nothing.
    const QPoint at = form.ListView1->visualRect(form.urlList().index(1)).center();
    QTest::mouseDClick(form.ListView1->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    doubleClickKept = form.urlList().count() == 3;
    // Space pauses the first; its connection goes to a.bin.
    selectRows({0});
    key(Qt::Key_Space);
    ASSERT_TRUE(QTest::qWaitFor([&] { return outcome(1) == UrlList::Outcome::Held; }, Timing::boundMs(5000)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return outcome(3) == UrlList::Outcome::Stored; }, Timing::boundMs(5000)));
    pausedRow = outcome(1);
    // Nothing to pause or try again on a stored row.
    selectRows({2});
    const QStringList storedCommands = runCommands();
    // Delete takes the second away, transfer and all.
    selectRows({1});
    key(Qt::Key_Delete);
    EXPECT_EQ(form.urlList().count(), 2);
    // Space again resumes the first; the run ends once it is stored.
    released = true;
    selectRows({0});
    key(Qt::Key_Space);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form.IsDownloading; }, Timing::boundMs(20000)));
    EXPECT_EQ(duringCommands, (QStringList{s("Pause"), s("Retry Now"), s("Remove"), s("Retry Failed (off)")}));
    EXPECT_EQ(storedCommands, (QStringList{s("Pause (off)"), s("Retry Now (off)"), s("Remove"), s("Retry Failed (off)")}));
    EXPECT_TRUE(doubleClickKept);
    EXPECT_EQ(pausedRow, UrlList::Outcome::Held);
    EXPECT_EQ(entriesOf(dir.path()), (QStringList{s("a.bin"), s("s.bin")}));
    EXPECT_EQ(outcome(1), UrlList::Outcome::Stored);
    const QString closing = dialogs.messageTexts().last();
    EXPECT_TRUE(closing.startsWith(s("Done.\r\n2 stored."))) << closing.toStdString();
    EXPECT_TRUE(closing.contains(s("1 removed during the run."))) << closing.toStdString();
}

TEST_F(SteerWindowTest, RetryFailedRunsTheFailedRowsAlone) {
    add({"/files/a.bin", "/flaky/b.bin", "/files/c.bin"});
    ASSERT_TRUE(ClickStartAndWait(form));
    EXPECT_EQ(outcome(2), UrlList::Outcome::Failed);
    EXPECT_EQ(runCommands().last(), s("Retry Failed"));
    healed = true;
    form.retryFailed();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form.IsDownloading; }, Timing::boundMs(20000)));
    EXPECT_EQ(entriesOf(dir.path()), (QStringList{s("a.bin"), s("b.bin"), s("c.bin")}));
    EXPECT_EQ(outcome(2), UrlList::Outcome::Stored);
    EXPECT_TRUE(dialogs.messageTexts().last().startsWith(s("Done.\r\n1 stored."))) << dialogs.messageTexts().last().toStdString();
}
