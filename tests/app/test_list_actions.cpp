// Paste, drop, Copy and "Save list as…" on the list.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <QUrl>

#include "app/Form1.h"
#include "harness/ScriptedDialogs.h"
#include "app/ListActions.h"

namespace {
struct ListActionsTest : ::testing::Test {
    ScriptedDialogs dialogs;
    Settings::Store settings;  // the test home's own
    Form1 form{dialogs, settings};
    ListActions* actions = form.findChild<ListActions*>();
    QTemporaryDir dir;

    QStringList entries() {
        QStringList all;
        for (int i = 1; i <= form.urlList().count(); ++i) all << form.urlList().textAt(i);
        return all;
    }
};
}  // namespace

TEST_F(ListActionsTest, CtrlVAppendsEveryNonBlankClipboardLineCompleted) {
    ASSERT_NE(actions, nullptr);
    form.urlList().append(u"http://first/");
    QGuiApplication::clipboard()->setText(QStringLiteral("a.jpg\r\n\r\n   \n  https://b/c.png \n\tserver/d\n"));
    QTest::keyClick(form.ListView1, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(entries(), (QStringList{QStringLiteral("http://first/"), QStringLiteral("http://a.jpg"),
                                      QStringLiteral("https://b/c.png"), QStringLiteral("http://server/d")}));
    // Delete still reaches the window's own handling.
    form.ListView1->setCurrentIndex(form.urlList().index(0));
    QTest::keyClick(form.ListView1, Qt::Key_Delete);
    EXPECT_EQ(form.urlList().count(), 3);
    EXPECT_EQ(form.urlList().textAt(1), QStringLiteral("http://a.jpg"));
}

TEST_F(ListActionsTest, PastedAndDroppedTextSplitsAtEveryKindOfLineEnd) {
    // Text from some programs ends its lines in CR alone; no entry may keep a line break.
    QGuiApplication::clipboard()->setText(QStringLiteral("a/1.jpg\rb/2.jpg\r\rhttp://c/3.jpg\r\nd/4.jpg\n"));
    EXPECT_EQ(actions->pasteFromClipboard(), 4);
    QMimeData text;
    text.setText(QStringLiteral("e/5.jpg\r  \rf/6.jpg"));
    EXPECT_TRUE(actions->dropMimeData(text));
    EXPECT_EQ(entries(), (QStringList{QStringLiteral("http://a/1.jpg"), QStringLiteral("http://b/2.jpg"),
                                      QStringLiteral("http://c/3.jpg"), QStringLiteral("http://d/4.jpg"),
                                      QStringLiteral("http://e/5.jpg"), QStringLiteral("http://f/6.jpg")}));
}

TEST_F(ListActionsTest, DroppedTextLinksAndListFiles) {
    QMimeData text;
    text.setText(QStringLiteral("x/1.jpg\n\nhttp://y/2.jpg"));
    EXPECT_TRUE(actions->canDrop(text));
    EXPECT_TRUE(actions->dropMimeData(text));

    const QString listFile = dir.filePath(QStringLiteral("drop.txt"));
    QFile f(listFile);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("z/3.jpg\r\n   \r\n");
    f.close();
    const QString binary = dir.filePath(QStringLiteral("photo.jpg"));
    QFile b(binary);
    ASSERT_TRUE(b.open(QIODevice::WriteOnly));
    b.write(QByteArray("\xFF\xD8\xFF\xE0\0\x10JFIF", 10));
    b.close();
    QMimeData links;
    links.setUrls({QUrl(QStringLiteral("https://w/4.jpg")), QUrl::fromLocalFile(listFile), QUrl::fromLocalFile(binary)});
    EXPECT_TRUE(actions->dropMimeData(links));
    EXPECT_EQ(entries(), (QStringList{QStringLiteral("http://x/1.jpg"), QStringLiteral("http://y/2.jpg"),
                                      QStringLiteral("http://z/3.jpg"), QStringLiteral("https://w/4.jpg")}));
    // The same through real drag-and-drop events on the list.
    QMimeData dragged;
    dragged.setText(QStringLiteral("dragged/5.jpg"));
    QWidget* viewport = form.ListView1->viewport();
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &dragged, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &dragged, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &drop);
    EXPECT_TRUE(drop.isAccepted());
    EXPECT_EQ(entries().last(), QStringLiteral("http://dragged/5.jpg"));

    // A dropped link arrives as the source gave it: escapes stay escaped, so it can still be fetched.
    QMimeData escaped;
    escaped.setUrls({QUrl(QStringLiteral("http://v/a%20b%23c.jpg?q=%26"))});
    EXPECT_TRUE(actions->dropMimeData(escaped));
    EXPECT_EQ(entries().last(), QStringLiteral("http://v/a%20b%23c.jpg?q=%26"));

    QMimeData nothing;
    nothing.setData(QStringLiteral("application/octet-stream"), "x");
    EXPECT_FALSE(actions->canDrop(nothing));
}

TEST_F(ListActionsTest, ADroppedListFileThatCannotBeReadIsReportedNotThrown) {
    // A write-only kernel setting refuses to be read, even by root.
    const QString writeOnly = QStringLiteral("/proc/sys/vm/compact_memory");
    QFile probe(writeOnly);
    if (!QFileInfo(writeOnly).isFile() || probe.open(QIODevice::ReadOnly)) GTEST_SKIP() << "no unreadable file here";
    const QString listFile = dir.filePath(QStringLiteral("unreadable.txt"));
    ASSERT_TRUE(QFile::link(writeOnly, listFile));
    QMimeData links;
    links.setUrls({QUrl::fromLocalFile(listFile), QUrl(QStringLiteral("http://w/2.jpg"))});
    bool threw = false;
    // An exception leaving a drop event's handler would end the program.
    try {
        actions->dropMimeData(links);
    } catch (...) {
        threw = true;
    }
    EXPECT_FALSE(threw);
    EXPECT_EQ(dialogs.messageTexts(),
              QStringList{QStringLiteral("Cannot open the list file: Permission denied\n") + listFile});
    EXPECT_EQ(entries(), QStringList{QStringLiteral("http://w/2.jpg")});  // the rest of the drop still counts
}

TEST_F(ListActionsTest, CopyAndSaveListAs) {
    form.urlList().appendMany({QStringLiteral("http://a/1"), QString::fromUtf8("http://b/\xC3\xA9"), QStringLiteral("http://c/3")});
    QMenu* menu = actions->buildContextMenu();
    ASSERT_EQ(menu->actions().size(), 2);
    EXPECT_EQ(menu->actions()[0]->text(), QStringLiteral("Copy"));
    EXPECT_FALSE(menu->actions()[0]->isEnabled());  // nothing selected
    EXPECT_EQ(menu->actions()[1]->text(), QString::fromUtf8("Save list as\xE2\x80\xA6"));
    delete menu;

    form.ListView1->setCurrentIndex(form.urlList().index(1));
    actions->copySelection();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QString::fromUtf8("http://b/\xC3\xA9"));

    const QString target = dir.filePath(QStringLiteral("saved.txt"));
    actions->chooseSaveFile = [&] { return target; };
    actions->saveListAs();
    QFile saved(target);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), QByteArray("http://a/1\nhttp://b/\xC3\xA9\nhttp://c/3\n"));

    // What was saved loads back as the same list.
    form.urlList().clear();
    dialogs.openFilesAnswers = {{target}};
    form.PushButton13_Click();
    EXPECT_EQ(form.urlList().count(), 3);
    EXPECT_EQ(form.urlList().textAt(2), QString::fromUtf8("http://b/\xC3\xA9"));

    EXPECT_FALSE(actions->saveListTo(dir.filePath(QStringLiteral("no/such/folder/x.txt"))));
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_TRUE(dialogs.messages[0].text.startsWith(QStringLiteral("Could not save the list")));
}
