// Paste, drop, Copy and "Save list as…" on the list.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <QTest>
#include <QTreeView>
#include <QUrl>

#include "app/Form1.h"
#include "harness/RunWait.h"
#include "harness/ListContents.h"
#include "harness/ListWait.h"
#include "harness/ScriptedDialogs.h"
#include "app/ListActions.h"
#include "harness/LoopbackServer.h"
#include "support/UniqueFd.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
struct ListActionsTest : ::testing::Test {
    ScriptedDialogs dialogs;
    Settings::Store settings;  // the test home's own
    Form1 form{dialogs, settings};
    ListActions* actions = form.findChild<ListActions*>();
    QTemporaryDir dir;

    QStringList entries() { return contentsOf(form.urlList()); }
};
}  // namespace

TEST_F(ListActionsTest, CtrlVAppendsTheAddressesOfTheClipboard) {
    ASSERT_NE(actions, nullptr);
    form.urlList().append(u"http://first/");
    QGuiApplication::clipboard()->setText(
        QStringLiteral("a.example/x.jpg\r\n\r\n   \n  https://b/c.png \n\tserver.example/d\nserver/e\n"));
    QTest::keyClick(form.ListView1, Qt::Key_V, Qt::ControlModifier);
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_EQ(entries(), (QStringList{QStringLiteral("http://first/"), QStringLiteral("http://a.example/x.jpg"),
                                      QStringLiteral("https://b/c.png"), QStringLiteral("http://server.example/d")}));
    EXPECT_TRUE(dialogs.messages.empty());
    // Delete still reaches the window's own handling.
    form.ListView1->setCurrentIndex(form.urlList().index(0));
    QTest::keyClick(form.ListView1, Qt::Key_Delete);
    EXPECT_EQ(form.urlList().count(), 3);
    EXPECT_EQ(form.urlList().textAt(1), QStringLiteral("http://a.example/x.jpg"));
}

TEST_F(ListActionsTest, ShiftF10OpensTheContextMenuAtTheCurrentEntry) {
    form.urlList().appendMany({QStringLiteral("http://a/1"), QStringLiteral("http://b/2")});
    form.show();
    form.ListView1->setCurrentIndex(form.urlList().index(1));
    std::vector<QPoint> asked;
    QObject::connect(form.ListView1, &QWidget::customContextMenuRequested, &form, [&](const QPoint& at) { asked.push_back(at); });
    QTest::keyClick(form.ListView1, Qt::Key_F10);  // alone, or with another modifier, it is not the menu's key
    QTest::keyClick(form.ListView1, Qt::Key_F10, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_TRUE(asked.empty());
    QTest::keyClick(form.ListView1, Qt::Key_F10, Qt::ShiftModifier);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_TRUE(form.ListView1->visualRect(form.urlList().index(1)).contains(asked[0]));
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    QStringList texts;
    for (const QAction* action : menu->actions())
        if (!action->isSeparator()) texts << action->text();
    EXPECT_EQ(texts, (QStringList{QStringLiteral("Copy"), QStringLiteral("Remove Duplicates"), QStringLiteral("Save list as…"),
                                  QStringLiteral("Remove Stored Entries"), QStringLiteral("Move Up"), QStringLiteral("Move Down"),
                                  QStringLiteral("Pause"), QStringLiteral("Retry Now"), QStringLiteral("Change Address\u2026"), QStringLiteral("Remove"),
                                  QStringLiteral("Retry Failed"), QStringLiteral("Keep Only..."), QStringLiteral("Undo Removal")}));
    menu->close();
}

TEST_F(ListActionsTest, PastedAndDroppedTextSplitsAtEveryKindOfLineEnd) {
    // Text from some programs ends its lines in CR alone; no entry may keep a line break.
    QGuiApplication::clipboard()->setText(
        QStringLiteral("a.example/1.jpg\rb.example/2.jpg\r\rhttp://c/3.jpg\r\nd.example/4.jpg\n"));
    actions->pasteFromClipboard();
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_EQ(form.urlList().count(), 4);
    QMimeData text;
    text.setText(QStringLiteral("e.example/5.jpg\r  \rhttp://f/6.jpg"));
    EXPECT_TRUE(actions->dropMimeData(text));
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_EQ(entries(), (QStringList{QStringLiteral("http://a.example/1.jpg"), QStringLiteral("http://b.example/2.jpg"),
                                      QStringLiteral("http://c/3.jpg"), QStringLiteral("http://d.example/4.jpg"),
                                      QStringLiteral("http://e.example/5.jpg"), QStringLiteral("http://f/6.jpg")}));
}

TEST_F(ListActionsTest, DroppedTextLinksAndListFiles) {
    QMimeData text;
    text.setText(QStringLiteral("x.example/1.jpg\n\nhttp://y/2.jpg"));
    EXPECT_TRUE(actions->canDrop(text));
    EXPECT_TRUE(actions->dropMimeData(text));
    ASSERT_TRUE(WaitForListWork(form));

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
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_EQ(entries(), (QStringList{QStringLiteral("http://x.example/1.jpg"), QStringLiteral("http://y/2.jpg"),
                                      QStringLiteral("http://z/3.jpg"), QStringLiteral("https://w/4.jpg")}));
    // The same through real drag-and-drop events on the list.
    QMimeData dragged;
    dragged.setText(QStringLiteral("dragged.example/5.jpg"));
    QWidget* viewport = form.ListView1->viewport();
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &dragged, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &dragged, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &drop);
    EXPECT_TRUE(drop.isAccepted());
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_EQ(entries().last(), QStringLiteral("http://dragged.example/5.jpg"));

    // A dropped link arrives as the source gave it: escapes stay escaped, so it can still be fetched.
    QMimeData escaped;
    escaped.setUrls({QUrl(QStringLiteral("http://v/a%20b%23c.jpg?q=%26"))});
    EXPECT_TRUE(actions->dropMimeData(escaped));
    ASSERT_TRUE(WaitForListWork(form));
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
    // No box opens inside the drop: the reasons come once it has returned.
    EXPECT_TRUE(dialogs.messages.empty());
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_EQ(dialogs.messageTexts(),
              QStringList{QStringLiteral("Cannot open the list file: Permission denied\n") + listFile});
    EXPECT_EQ(entries(), QStringList{QStringLiteral("http://w/2.jpg")});  // the rest of the drop still counts
}

TEST_F(ListActionsTest, CopyAndSaveListAs) {
    form.urlList().appendMany({QStringLiteral("http://a/1"), QString::fromUtf8("http://b/\xC3\xA9"), QStringLiteral("http://c/3")});
    QMenu* menu = actions->buildContextMenu();
    ASSERT_EQ(menu->actions().size(), 16);  // then the editing commands and the run's, between separators
    EXPECT_EQ(menu->actions()[0]->text(), QStringLiteral("Copy"));
    EXPECT_FALSE(menu->actions()[0]->isEnabled());  // nothing selected
    EXPECT_EQ(menu->actions()[1]->text(), QStringLiteral("Remove Duplicates"));
    EXPECT_EQ(menu->actions()[2]->text(), QString::fromUtf8("Save list as\xE2\x80\xA6"));
    EXPECT_EQ(menu->actions()[3]->text(), QStringLiteral("Remove Stored Entries"));
    EXPECT_FALSE(menu->actions()[3]->isEnabled());  // no run has stored anything
    QStringList editing;
    for (int i = 5; i < 16; ++i)
        if (!menu->actions()[i]->isSeparator()) editing << menu->actions()[i]->text() + (menu->actions()[i]->isEnabled() ? "" : " (off)");
    EXPECT_EQ(editing, (QStringList{QStringLiteral("Move Up (off)"), QStringLiteral("Move Down (off)"), QStringLiteral("Pause (off)"),
                                    QStringLiteral("Retry Now (off)"), QStringLiteral("Change Address\u2026 (off)"), QStringLiteral("Remove (off)"),
                                    QStringLiteral("Retry Failed (off)"),
                                    QStringLiteral("Keep Only..."), QStringLiteral("Undo Removal (off)")}));
    delete menu;

    form.ListView1->setCurrentIndex(form.urlList().index(1));
    actions->copySelection();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QString::fromUtf8("http://b/\xC3\xA9"));

    const QString target = dir.filePath(QStringLiteral("saved.txt"));
    dialogs.saveFileAnswers = {target};
    actions->saveListAs();
    QFile saved(target);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), QByteArray("http://a/1\nhttp://b/\xC3\xA9\nhttp://c/3\n"));

    // What was saved loads back as the same addresses, written as the address parser writes them.
    form.urlList().clear();
    dialogs.openFilesAnswers = {{target}};
    form.PushButton13_Click();
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_EQ(form.urlList().count(), 3);
    EXPECT_EQ(form.urlList().textAt(2), QStringLiteral("http://b/%C3%A9"));

    EXPECT_FALSE(actions->saveListTo(dir.filePath(QStringLiteral("no/such/folder/x.txt"))));
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_TRUE(dialogs.messages[0].text.startsWith(QStringLiteral("Could not save the list")));
}

TEST_F(ListActionsTest, PastedMailGivesItsAddressesAndTextWithoutAnyIsReported) {
    QGuiApplication::clipboard()->setText(QStringLiteral(
        "Here are the files you asked for:\n<http://x.example/a.zip> and http://x.example/b.zip\n\nThanks, Bob\n"));
    actions->pasteFromClipboard();
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_EQ(entries(), (QStringList{QStringLiteral("http://x.example/a.zip"), QStringLiteral("http://x.example/b.zip")}));
    EXPECT_TRUE(dialogs.messages.empty());

    QGuiApplication::clipboard()->setText(QStringLiteral("Thanks, Bob\nsee you"));
    actions->pasteFromClipboard();
    ASSERT_TRUE(WaitForListWork(form));
    QMimeData prose;
    prose.setText(QStringLiteral("Nothing to fetch here."));
    EXPECT_TRUE(actions->dropMimeData(prose));
    ASSERT_TRUE(WaitForListWork(form));
    // A dropped link that is not a web address is no entry either.
    QMimeData other;
    other.setUrls({QUrl(QStringLiteral("mailto:bob@x.example")), QUrl(QStringLiteral("ftp://x.example/c.zip"))});
    EXPECT_TRUE(actions->dropMimeData(other));
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_EQ(dialogs.messageTexts(), (QStringList{QStringLiteral("No web addresses found in the pasted text."),
                                                   QStringLiteral("No web addresses found in the dropped text."),
                                                   QStringLiteral("No web addresses found in the dropped text.")}));
    for (const ShownMessage& m : dialogs.messages) EXPECT_EQ(m.code, Dialogs::OkOnly);
    EXPECT_EQ(form.urlList().count(), 2);
}

TEST_F(ListActionsTest, BinaryPastedTextIsReadOffTheWindowUnderTheBusyPointer) {
    std::mt19937 random(3);
    QByteArray binary(4 << 20, '\0');
    for (char& c : binary) c = static_cast<char>(random());
    binary += "\nhttp://after.example/binary.zip\n";
    QGuiApplication::clipboard()->setText(QString::fromLatin1(binary));
    form.urlList().append(u"http://before/");
    actions->pasteFromClipboard();
    // The handler returns before the text is read; the list stays off limits until it is.
    EXPECT_TRUE(form.isListBuilding());
    EXPECT_EQ(form.mousePointer(), PointerBusy);
    form.PushButton11_Click();
    EXPECT_EQ(form.urlList().count(), 1);
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_EQ(form.mousePointer(), PointerDefault);
    EXPECT_EQ(entries().first(), QStringLiteral("http://before/"));
    EXPECT_EQ(entries().last(), QStringLiteral("http://after.example/binary.zip"));
    for (const QString& text : dialogs.messageTexts()) EXPECT_LT(text.size(), 1000);
}

TEST_F(ListActionsTest, RemoveDuplicatesKeepsTheFirstOfEachInPlace) {
    form.urlList().appendMany({QStringLiteral("http://a/1"), QStringLiteral("http://b/2"), QStringLiteral("http://a/1"),
                               QStringLiteral("http://A/1"), QString::fromUtf8("http://c/\xC3\xA9"), QStringLiteral("http://b/2"),
                               QString::fromUtf8("http://c/\xC3\xA9"), QStringLiteral("http://a/1 ")});
    QMenu* menu = actions->buildContextMenu();
    QAction* unique = menu->actions()[1];
    EXPECT_TRUE(unique->isEnabled());
    unique->trigger();
    delete menu;
    // Equal means the same text exactly: case and blanks count.
    EXPECT_EQ(entries(), (QStringList{QStringLiteral("http://a/1"), QStringLiteral("http://b/2"), QStringLiteral("http://A/1"),
                                      QString::fromUtf8("http://c/\xC3\xA9"), QStringLiteral("http://a/1 ")}));
    EXPECT_EQ(RemoveDuplicateEntries(form.urlList()), 0);

    // Under the busy pointer the list is left alone.
    form.urlList().append(u"http://b/2");
    form.setMousePointer(PointerBusy);
    actions->removeDuplicates();
    EXPECT_EQ(form.urlList().count(), 6);
    form.setMousePointer(PointerDefault);
    actions->removeDuplicates();
    EXPECT_EQ(form.urlList().count(), 5);

    // Many entries: one pass, and the model stays consistent for the view.
    form.urlList().clear();
    {
        UrlList::Batch batch(form.urlList());
        for (int i = 0; i < 30000; ++i) batch.add(QStringLiteral("http://m/%1").arg(i % 1000));
    }
    EXPECT_EQ(RemoveDuplicateEntries(form.urlList()), 29000);
    ASSERT_EQ(form.urlList().count(), 1000);
    EXPECT_EQ(form.urlList().textAt(1000), QStringLiteral("http://m/999"));
    EXPECT_EQ(form.ListView1->model()->rowCount(), 1000);
}

TEST_F(ListActionsTest, SaveListAsAddsTxtToANewNameWithoutExtensionAndOpensWhereListsWere) {
    settings.write(QStringLiteral("LastListFolder"), QString());
    const QString documents = QDir::homePath() + QStringLiteral("/Documents");
    QDir(documents).removeRecursively();
    form.urlList().appendMany({QStringLiteral("http://a/1"), QStringLiteral("http://b/2")});
    const QString listsFolder = dir.filePath(QStringLiteral("lists"));
    QDir().mkpath(listsFolder);

    // No list folder yet and no documents folder: home. The typed name gets ".txt".
    dialogs.saveFileAnswers = {listsFolder + QStringLiteral("/mylist")};
    actions->saveListAs();
    ASSERT_EQ(dialogs.saveDialogs.size(), 1u);
    EXPECT_EQ(dialogs.saveDialogs[0].second, QDir::homePath());
    EXPECT_FALSE(QFile::exists(listsFolder + QStringLiteral("/mylist")));
    QFile saved(listsFolder + QStringLiteral("/mylist.txt"));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), QByteArray("http://a/1\nhttp://b/2\n"));
    saved.close();

    // Where the list went is where both choosers open next; a name with an extension is kept.
    dialogs.saveFileAnswers = {listsFolder + QStringLiteral("/other.lst")};
    actions->saveListAs();
    EXPECT_EQ(dialogs.saveDialogs[1].second, listsFolder);
    EXPECT_TRUE(QFile::exists(listsFolder + QStringLiteral("/other.lst")));
    dialogs.openFilesAnswers = {{}};
    form.PushButton13_Click();
    EXPECT_EQ(dialogs.fileDialogFolders.back(), listsFolder);

    // The ".txt" name is taken: replacing it is asked, and No keeps it.
    form.urlList().append(u"http://c/3");
    dialogs.saveFileAnswers = {listsFolder + QStringLiteral("/mylist")};
    dialogs.messageAnswers = {Dialogs::No};
    actions->saveListAs();
    EXPECT_EQ(dialogs.messageTexts(), QStringList{QStringLiteral("mylist.txt already exists. Replace it?")});
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), QByteArray("http://a/1\nhttp://b/2\n"));
    saved.close();
    // A name that is there as typed (here a file without extension) is written as named.
    QFile bare(listsFolder + QStringLiteral("/bare"));
    ASSERT_TRUE(bare.open(QIODevice::WriteOnly));
    bare.close();
    dialogs.saveFileAnswers = {bare.fileName()};
    actions->saveListAs();
    EXPECT_EQ(QFileInfo(bare.fileName()).size(), qint64(std::string("http://a/1\nhttp://b/2\nhttp://c/3\n").size()));
    EXPECT_FALSE(QFile::exists(bare.fileName() + QStringLiteral(".txt")));

    // A list folder that is gone: the documents folder when there is one.
    QDir(listsFolder).removeRecursively();
    QDir().mkpath(documents);
    dialogs.openFilesAnswers = {{}};
    form.PushButton13_Click();
    EXPECT_EQ(dialogs.fileDialogFolders.back(), documents);
    QDir(documents).removeRecursively();
}

TEST_F(ListActionsTest, TheListFileChooserOpensInTheFolderLastUsedForAList) {
    settings.write(QStringLiteral("LastListFolder"), QString());  // the store is the whole program's
    QDir(QDir::homePath() + QStringLiteral("/Documents")).removeRecursively();
    QDir().mkpath(dir.filePath(QStringLiteral("lists")));
    const QString listFile = dir.filePath(QStringLiteral("lists/a.lst"));
    QFile f(listFile);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("http://l/1\n");
    f.close();
    dialogs.openFilesAnswers = {{listFile}, {}};
    form.PushButton13_Click();
    ASSERT_TRUE(WaitForListWork(form));
    form.PushButton13_Click();  // cancelled: the folder stays
    ASSERT_EQ(dialogs.fileDialogFolders.size(), 2u);
    EXPECT_EQ(dialogs.fileDialogFolders[0], QDir::homePath());  // none yet, nor a documents folder
    EXPECT_EQ(dialogs.fileDialogFolders[1], dir.filePath(QStringLiteral("lists")));
    EXPECT_EQ(settings.read(QStringLiteral("LastListFolder"), QString()), dir.filePath(QStringLiteral("lists")));
    // Also for the next window.
    Form1 next(dialogs, settings);
    dialogs.openFilesAnswers = {{}};
    next.PushButton13_Click();
    EXPECT_EQ(dialogs.fileDialogFolders.back(), dir.filePath(QStringLiteral("lists")));
    EXPECT_EQ(dialogs.fileDialogFilters.back().front(), QStringLiteral("URL lists (*.txt *.lst *.list)"));
    EXPECT_EQ(entries(), QStringList{QStringLiteral("http://l/1")});
}

namespace {
// A character device node in the test's own folder (1,3 discards, 1,7 is always full); empty
// where making nodes is not allowed.
QString makeDevice(const QTemporaryDir& dir, const char* name, unsigned minor) {
    const QString path = dir.filePath(QString::fromLatin1(name));
    if (::mknod(QFile::encodeName(path).constData(), S_IFCHR | 0600, makedev(1, minor)) != 0) return {};
    return path;
}
mode_t kindOf(const QString& path, bool followLink = true) {
    struct stat st {};
    const QByteArray name = QFile::encodeName(path);
    if ((followLink ? ::stat(name.constData(), &st) : ::lstat(name.constData(), &st)) != 0) return 0;
    return st.st_mode & S_IFMT;
}
}  // namespace

TEST_F(ListActionsTest, SaveListAsWritesIntoAPipeOrDeviceAndReplacesOnlyARegularFile) {
    form.urlList().appendMany({QStringLiteral("http://a/1"), QStringLiteral("http://b/2")});
    const QByteArray expected("http://a/1\nhttp://b/2\n");

    // A pipe with a reader: the reader gets the list, and the pipe stays a pipe.
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    {
        Fw::UniqueFd reader(::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        ASSERT_TRUE(reader);
        EXPECT_TRUE(actions->saveListTo(fifo));
        ASSERT_TRUE(WaitForListWork(form));
        char buffer[256];
        const ssize_t got = ::read(reader.get(), buffer, sizeof buffer);
        EXPECT_EQ(QByteArray(buffer, int(std::max<ssize_t>(got, 0))), expected);
    }
    EXPECT_EQ(kindOf(fifo), mode_t(S_IFIFO));
    // Without a reader it says so at once, and the pipe is still there.
    EXPECT_FALSE(actions->saveListTo(fifo));
    EXPECT_EQ(kindOf(fifo), mode_t(S_IFIFO));

    // A socket is refused and left as it is.
    const QString socketPath = dir.filePath(QStringLiteral("sock"));
    Fw::UniqueFd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    const QByteArray socketName = QFile::encodeName(socketPath);
    ASSERT_LT(socketName.size(), qsizetype(sizeof at.sun_path));
    memcpy(at.sun_path, socketName.constData(), size_t(socketName.size()));
    ASSERT_EQ(::bind(sock.get(), reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    EXPECT_FALSE(actions->saveListTo(socketPath));
    EXPECT_EQ(kindOf(socketPath), mode_t(S_IFSOCK));
    EXPECT_EQ(dialogs.messageTexts(), (QStringList{QStringLiteral("Could not save the list: Nothing reads from the pipe"),
                                                   QStringLiteral("Could not save the list: It is a socket")}));
    dialogs.messages.clear();

    // A regular file is still replaced whole.
    const QString plain = dir.filePath(QStringLiteral("plain.txt"));
    {
        QFile f(plain);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("an older and longer list\n");
    }
    EXPECT_TRUE(actions->saveListTo(plain));
    QFile plainFile(plain);
    ASSERT_TRUE(plainFile.open(QIODevice::ReadOnly));
    EXPECT_EQ(plainFile.readAll(), expected);

    // Device nodes, directly and through a link: written into, never replaced.
    const QString sink = makeDevice(dir, "null", 3);
    if (sink.isEmpty()) GTEST_SKIP() << "device nodes cannot be made here";
    const QString full = makeDevice(dir, "full", 7);
    ASSERT_FALSE(full.isEmpty());
    const QString toSink = dir.filePath(QStringLiteral("to-null.txt"));
    const QString toFull = dir.filePath(QStringLiteral("to-full.txt"));
    ASSERT_TRUE(QFile::link(sink, toSink));
    ASSERT_TRUE(QFile::link(full, toFull));
    EXPECT_TRUE(actions->saveListTo(sink));
    EXPECT_TRUE(actions->saveListTo(toSink));
    // A full device takes nothing: the writing job says so when it ends.
    actions->saveListTo(toFull);
    actions->saveListTo(full);
    ASSERT_TRUE(WaitForListWork(form));
    for (const QString& node : {sink, full}) EXPECT_EQ(kindOf(node, false), mode_t(S_IFCHR)) << node.toStdString();
    for (const QString& link : {toSink, toFull}) EXPECT_EQ(kindOf(link, false), mode_t(S_IFLNK)) << link.toStdString();
    const QString noSpace = QStringLiteral("Could not save the list: No space left on device");
    EXPECT_EQ(dialogs.messageTexts(), (QStringList{noSpace, noSpace}));
}

TEST_F(ListActionsTest, AReaderThatTakesTheListSlowlyLeavesTheWindowAnswering) {
    // Far more than a pipe holds, so that the writer must wait for the reader again and again.
    {
        UrlList::Batch batch(form.urlList());
        for (int i = 0; i < 20000; ++i) batch.add(QStringLiteral("http://slow.example/%1").arg(i));
    }
    const QString fifo = dir.filePath(QStringLiteral("slow"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    Fw::UniqueFd reader(::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(reader);
    EXPECT_TRUE(actions->saveListTo(fifo));
    // The save returned while most of the list is still to be taken.
    EXPECT_TRUE(form.isListBuilding());
    QByteArray got;
    char buffer[4096];
    ASSERT_TRUE(QTest::qWaitFor([&] {
        const ssize_t n = ::read(reader.get(), buffer, sizeof buffer);
        if (n > 0) got.append(buffer, int(n));
        return !form.isListBuilding() && n <= 0;
    }, Timing::boundMs(30000)));
    EXPECT_EQ(got.count('\n'), 20000);
    EXPECT_TRUE(got.endsWith("http://slow.example/19999\n"));
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(ListActionsTest, ADroppedPipeDeviceOrLinkToADeviceIsRefusedInWords) {
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString good = dir.filePath(QStringLiteral("good.txt"));
    {
        QFile f(good);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("server1/1.jpg\n");
    }
    QList<QUrl> urls{QUrl::fromLocalFile(fifo)};
    QStringList refused{fifo};
    const QString device = makeDevice(dir, "null", 3);
    if (!device.isEmpty()) {
        const QString link = dir.filePath(QStringLiteral("to-null.txt"));
        ASSERT_TRUE(QFile::link(device, link));
        urls << QUrl::fromLocalFile(device) << QUrl::fromLocalFile(link);
        refused << device << link;
    }
    urls << QUrl::fromLocalFile(good);
    QMimeData dropped;
    dropped.setUrls(urls);
    EXPECT_TRUE(actions->dropMimeData(dropped));
    EXPECT_TRUE(dialogs.messages.empty());  // not inside the drop
    ASSERT_TRUE(WaitForListWork(form));
    QStringList expected;
    for (const QString& path : refused) expected << QStringLiteral("Not a regular file\n") + path;
    EXPECT_EQ(dialogs.messageTexts(), expected);
    EXPECT_EQ(entries(), QStringList{QStringLiteral("http://server1/1.jpg")});
    EXPECT_EQ(kindOf(fifo), mode_t(S_IFIFO));
}

TEST_F(ListActionsTest, ClearListDuringARunSaysWhyItCannot) {
    LoopbackServer http;
    std::atomic<bool> released{false};
    http.server().Get("/slow", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(64 * 1024, "application/octet-stream", [&](size_t, size_t length, httplib::DataSink& sink) {
            if (!released) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const std::string chunk(std::min<size_t>(length, 1024), 'x');
            sink.write(chunk.data(), chunk.size());
            return true;
        });
    });
    http.start();
    form.urlList().append(http.url(QStringLiteral("/slow")));
    form.Text1->setText(dir.path());
    QStringList during;
    int listDuring = -1;
    QTimer::singleShot(100, &form, [&] {
        form.PushButton11->click();
        during = dialogs.messageTexts();
        listDuring = form.urlList().count();
        released = true;
    });
    EXPECT_TRUE(ClickStartAndWait(form));
    released = true;
    EXPECT_EQ(during, QStringList{QStringLiteral("The list cannot be cleared while downloading. Press Stop Downloading first.")});
    EXPECT_EQ(listDuring, 1);
    EXPECT_EQ(dialogs.messageTexts().value(1), QStringLiteral("Done.\r\n1 stored."));
    // After the run it clears as ever.
    dialogs.messages.clear();
    form.PushButton11->click();
    EXPECT_EQ(form.urlList().count(), 0);
    EXPECT_TRUE(dialogs.messages.empty());
}
