// "Load List Of URLs From File" and the list-file reader.
#include <gtest/gtest.h>

#include "support/WebUrl.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>

#include "app/Form1.h"
#include "harness/ListContents.h"
#include "harness/ListWait.h"
#include "harness/ScriptedDialogs.h"
#include "harness/Timing.h"
#include "listbuild/FileToList.h"
#include "support/UniqueFd.h"

namespace {
struct ListFiles : ::testing::Test {
    ScriptedDialogs dialogs;
    Settings::Store settings;  // the test home's own
    Form1 form{dialogs, settings};
    QTemporaryDir dir;

    QString write(const char* name, const QByteArray& bytes) {
        const QString path = dir.filePath(QString::fromLatin1(name));
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        return path;
    }
    QStringList entries() { return contentsOf(form.urlList()); }
    QStringList load(const QByteArray& bytes) {
        form.urlList().clear();
        dialogs.openFilesAnswers.push_back({write("list.txt", bytes)});
        form.PushButton13_Click();
        EXPECT_TRUE(WaitForListWork(form));
        return entries();
    }
};
const QStringList kTwo = {QStringLiteral("http://server1/1.jpg"), QStringLiteral("http://server2/2.jpg")};
}  // namespace

TEST_F(ListFiles, TheChooserAndTheLineRules) {
    EXPECT_EQ(load("server1/1.jpg\r\n\r\n   \r\nhttp://server2/2.jpg\r\n"), kTwo);
    ASSERT_EQ(dialogs.fileDialogTitles.size(), 1u);
    EXPECT_EQ(dialogs.fileDialogTitles[0], QStringLiteral("Add File(s) - Hold Ctrl to select multiple files"));
    EXPECT_EQ(dialogs.fileDialogFilters[0],
              (QStringList{QStringLiteral("URL lists (*.txt *.lst *.list)"), QStringLiteral("Text Files (*.txt)"),
                           QStringLiteral("All Files (*.*)")}));
    EXPECT_EQ(load("server1/1.jpg\n\n   \nhttp://server2/2.jpg"), kTwo);
    // CR alone ends a line too (old Mac files), also mixed with the others.
    EXPECT_EQ(load("server1/1.jpg\rhttp://server2/2.jpg\r"), kTwo);
    EXPECT_EQ(load("server1/1.jpg\r\r\nhttp://server2/2.jpg"), kTwo);
    EXPECT_EQ(load("a.jpg\rb.jpg\nc.jpg\r\nd.jpg"),
              (QStringList{QStringLiteral("http://a.jpg/"), QStringLiteral("http://b.jpg/"), QStringLiteral("http://c.jpg/"),
                           QStringLiteral("http://d.jpg/")}));
    // Comment lines are skipped without a word, even indented; a '#' later in a line is the address's.
    EXPECT_EQ(load("# my downloads\r\n   \t# old ones:\rserver1/1.jpg\n#http://x/\nhttp://server2/2.jpg#part\n"),
              (QStringList{QStringLiteral("http://server1/1.jpg"), QStringLiteral("http://server2/2.jpg#part")}));
    // Blanks around a line go; a scheme in any case is kept and written as the parser writes it.
    EXPECT_EQ(load("  server1/1.jpg \n\t\nx?u=https://y\nHTTP://Z\nhttpbin.org/get\n"),
              (QStringList{QStringLiteral("http://server1/1.jpg"), QStringLiteral("http://x/?u=https://y"),
                           QStringLiteral("http://z/"), QStringLiteral("http://httpbin.org/get")}));
    EXPECT_TRUE(dialogs.messages.empty());
    // Another scheme is never given "http://"; what gives no web address is named once, after loading.
    EXPECT_EQ(load("file:///etc/passwd\nftp://x/y\n# a comment\nserver1/1.jpg\nhello world\n"),
              QStringList{QStringLiteral("http://server1/1.jpg")});
    EXPECT_EQ(dialogs.messageTexts(),
              QStringList{QStringLiteral("3 lines were not added: not web addresses\nfile:///etc/passwd\nftp://x/y\nhello world")});
}

TEST_F(ListFiles, EncodingsAndByteOrderMarks) {
    QByteArray utf16("\xFF\xFE", 2);
    for (char c : QByteArray("a.jpg\r\n\xE9.jpg")) utf16 += QByteArray(1, c) + QByteArray(1, '\0');
    // Non-ASCII host names are written in their IDNA (punycode) form.
    EXPECT_EQ(load(utf16), (QStringList{QStringLiteral("http://a.jpg/"), QStringLiteral("http://xn--9ca.jpg/")}));
    // A Latin-1 list that merely begins with the first byte of a mark is Latin-1 (þ, ÿ).
    auto typed = [](const char* utf8) { return WebUrl::FromUserText(QString::fromUtf8(utf8)).value_or(QString()); };
    EXPECT_EQ(load("\xFEsrv/a\n\xFF\xFF" "b\n"), (QStringList{typed("\xC3\xBEsrv/a"), typed("\xC3\xBF\xC3\xBF" "b")}));
    EXPECT_EQ(load("\xFF\xFDx\n"), QStringList{typed("\xC3\xBF\xC3\xBDx")});
    EXPECT_EQ(load("\xFE"), QStringList{typed("\xC3\xBE")});
    QByteArray utf16be("\xFE\xFF", 2);
    for (char c : QByteArray("a.jpg\r\n\xE9.jpg")) utf16be += QByteArray(1, '\0') + QByteArray(1, c);
    EXPECT_EQ(load(utf16be), (QStringList{QStringLiteral("http://a.jpg/"), QStringLiteral("http://xn--9ca.jpg/")}));
    // A character beyond the first plane, as a surrogate pair.
    EXPECT_EQ(load(QByteArray("\xFE\xFF\x00x\x00/\xD8\x3D\xDE\x00", 10)), QStringList{QStringLiteral("http://x/%F0%9F%98%80")});
    EXPECT_EQ(load("\xEF\xBB\xBFsrv/a.jpg\n"), QStringList{QStringLiteral("http://srv/a.jpg")});
    EXPECT_EQ(load("srv/caf\xC3\xA9.jpg\n"), QStringList{QStringLiteral("http://srv/caf%C3%A9.jpg")});
    EXPECT_EQ(load("srv/caf\xE9.jpg\n"), QStringList{QStringLiteral("http://srv/caf%C3%A9.jpg")});
    EXPECT_EQ(load(QByteArray()), QStringList{});
    EXPECT_EQ(load("\xEF\xBB\xBF"), QStringList{});
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(ListFiles, SeveralFilesLoadInOrderAfterExistingEntriesAndMissingOnesSayFileNotFound) {
    form.urlList().append(u"http://server1/1.jpg");
    const QString first = write("one.txt", "server1/1.jpg\n");
    const QString second = write("two.txt", "b\nc\n");
    dialogs.openFilesAnswers = {{second, dir.filePath(QStringLiteral("gone.txt")), first}, {}};
    form.PushButton13_Click();
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_EQ(entries(), (QStringList{QStringLiteral("http://server1/1.jpg"), QStringLiteral("http://b/"),
                                      QStringLiteral("http://c/"), QStringLiteral("http://server1/1.jpg")}));
    EXPECT_EQ(dialogs.messageTexts(), QStringList{QStringLiteral("File not found\n") + dir.filePath(QStringLiteral("gone.txt"))});
    form.PushButton13_Click();  // cancelled
    EXPECT_EQ(form.urlList().count(), 4);
    EXPECT_EQ(dialogs.messages.size(), 1u);
}

TEST_F(ListFiles, OnlyRegularFilesWithinTheLimitAreReadAndEachRefusalSaysWhy) {
    const QString fifo = dir.filePath(QStringLiteral("fifo.txt"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    // Should the reader wait for a writer after all, this one comes, so the test fails instead of hanging.
    std::atomic<bool> done{false};
    std::thread unblock([&] {
        for (int i = 0; i < 300 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!done) Fw::UniqueFd(::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    });
    // Sparse: a reader that read it would take 10 GB of memory.
    const QString huge = write("huge.txt", "");
    ASSERT_TRUE(QFile(huge).resize(10LL << 30));
    const QString overByOne = write("over.txt", "");
    ASSERT_TRUE(QFile(overByOne).resize(FileToList::kListFileLimitBytes + 1));
    const QString folder = dir.filePath(QStringLiteral("folder.txt"));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("folder.txt")));
    const QString good = write("good.txt", "server1/1.jpg\n");
    const QString zero = QStringLiteral("/dev/zero");
    dialogs.openFilesAnswers.push_back({fifo, zero, folder, huge, overByOne, good});
    QElapsedTimer clock;
    clock.start();
    form.PushButton13_Click();
    EXPECT_TRUE(WaitForListWork(form, 10000));
    done = true;
    unblock.join();
    EXPECT_LT(clock.elapsed(), 10000);
    const QString notRegular = QStringLiteral("Not a regular file\n");
    const QString tooLarge = QStringLiteral("List file larger than 256 MB\n");
    EXPECT_EQ(dialogs.messageTexts(),
              (QStringList{notRegular + fifo, notRegular + zero, notRegular + folder, tooLarge + huge, tooLarge + overByOne}));
    EXPECT_EQ(entries(), QStringList{QStringLiteral("http://server1/1.jpg")});
    EXPECT_EQ(form.mousePointer(), PointerDefault);

    // A file that cannot be opened (a write-only kernel setting, even for root) says so too.
    const QString writeOnly = QStringLiteral("/proc/sys/vm/compact_memory");
    if (QFileInfo(writeOnly).isFile()) {
        const Fw::Result<QByteArray> refused = FileToList::ReadListFile(writeOnly);
        ASSERT_FALSE(refused.ok());
        EXPECT_EQ(refused.error().text, QStringLiteral("Cannot open the list file: Permission denied"));
    }
}

TEST_F(ListFiles, ABigListArrivesInBatchesWhileTheWindowKeepsAnswering) {
    QByteArray text;
    constexpr int kLines = 500000;
    text.reserve(kLines * 40);
    for (int i = 0; i < kLines; ++i) text += "srv.example/archive/item-" + QByteArray::number(i) + ".jpg\r\n";
    const QString path = write("big.txt", text);
    text = QByteArray();
    form.show();
    // Each batch is shown as it comes, so the list can be cleared in between: the busy pointer
    // forbids it, and a second load waits its turn.
    int ticks = 0;
    int seenBeforeClear = -1, seenAfterClear = -1;
    QTimer ticker;
    ticker.setInterval(20);
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    // As the first batch comes in: the load is still under way.
    QObject::connect(&form.urlList(), &QAbstractItemModel::rowsInserted, &form, [&] {
        if (seenBeforeClear >= 0) return;
        seenBeforeClear = form.urlList().count();
        form.PushButton13_Click();  // no chooser: an unscripted one would fail the test
        form.PushButton11_Click();
        seenAfterClear = form.urlList().count();
    });
    dialogs.openFilesAnswers.push_back({path});
    ticker.start();
    form.PushButton13_Click();
    ASSERT_TRUE(WaitForListWork(form));
    ticker.stop();
    // How long the window may stall is measured by bench/bench_stalls, not here.
    EXPECT_GE(ticks, 2);
    EXPECT_GT(seenBeforeClear, 0);  // some batches came before the end
    EXPECT_EQ(seenAfterClear, seenBeforeClear);
    EXPECT_EQ(dialogs.fileDialogTitles.size(), 1u);
    ASSERT_EQ(form.urlList().count(), kLines);
    EXPECT_EQ(form.urlList().textAt(1), QStringLiteral("http://srv.example/archive/item-0.jpg"));
    EXPECT_EQ(form.urlList().textAt(kLines), QStringLiteral("http://srv.example/archive/item-%1.jpg").arg(kLines - 1));
    EXPECT_EQ(form.urlList().textAt(277777), QStringLiteral("http://srv.example/archive/item-277776.jpg"));

    // Closing the window stops the load at its next batch, without a word.
    form.urlList().clear();
    dialogs.openFilesAnswers.push_back({path});
    QTimer::singleShot(0, &form, [&] { form.close(); });
    form.PushButton13_Click();
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_LT(form.urlList().count(), kLines);
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(ListFiles, OneHugeLineIsOneEntryAndAHugeRefusedLineIsNamedShortly) {
    std::string address = "http://long.example/";
    while (address.size() < (std::size_t(8) << 20)) address += "segment/";
    std::string junk = "not an address ";
    while (junk.size() < (std::size_t(8) << 20)) junk += "and more words ";
    dialogs.openFilesAnswers.push_back({write("huge-lines.txt", QByteArray::fromStdString(address + "\n" + junk + "\n"))});
    form.PushButton13_Click();
    // The handler returns at once: the file is read off the window thread.
    EXPECT_TRUE(form.isListBuilding());
    ASSERT_TRUE(WaitForListWork(form));
    ASSERT_EQ(form.urlList().count(), 1);
    EXPECT_EQ(form.urlList().utf8At(1), std::string_view(address));
    // The box names the refused line by its beginning, not by its megabytes.
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_TRUE(dialogs.messages[0].text.startsWith(
        QStringLiteral("1 line was not added: not a web address\nnot an address and more words")));
    EXPECT_LT(dialogs.messages[0].text.size(), 400);
}

TEST(ReadWholeFile, MissingAndEmptyFilesGiveNoText) {
    QTemporaryDir dir;
    EXPECT_EQ(FileToList::ReadWholeFile(dir.filePath(QStringLiteral("none"))).value(), QString());
    QFile f(dir.filePath(QStringLiteral("empty")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    EXPECT_EQ(FileToList::ReadWholeFile(f.fileName()).value(), QString());
}
