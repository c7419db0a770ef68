// "Load List Of URLs From File" and the list-file reader.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "app/Form1.h"
#include "harness/ScriptedDialogs.h"
#include "listbuild/FileToList.h"

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
    QStringList entries() {
        QStringList all;
        for (int i = 1; i <= form.urlList().count(); ++i) all << form.urlList().textAt(i);
        return all;
    }
    QStringList load(const QByteArray& bytes) {
        form.urlList().clear();
        dialogs.openFilesAnswers.push_back({write("list.txt", bytes)});
        form.PushButton13_Click();
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
              (QStringList{QStringLiteral("Text Files (*.txt)"), QStringLiteral("All Files (*.*)")}));
    EXPECT_EQ(load("server1/1.jpg\n\n   \nhttp://server2/2.jpg"), kTwo);
    // CR alone is no line end: every CR is dropped and the lines run together.
    EXPECT_EQ(load("a.jpg\rb.jpg\r"), QStringList{QStringLiteral("http://a.jpgb.jpg")});
    // Surrounding blanks stay, a tab is not blank, markers are found anywhere and exactly.
    EXPECT_EQ(load("  server1/1.jpg \n\t\nx?u=https://y\nHTTP://z\n"),
              (QStringList{QStringLiteral("http://  server1/1.jpg "), QStringLiteral("http://\t"),
                           QStringLiteral("x?u=https://y"), QStringLiteral("http://HTTP://z")}));
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(ListFiles, EncodingsAndByteOrderMarks) {
    QByteArray utf16("\xFF\xFE", 2);
    for (char c : QByteArray("a.jpg\r\n\xE9.jpg")) utf16 += QByteArray(1, c) + QByteArray(1, '\0');
    EXPECT_EQ(load(utf16), (QStringList{QStringLiteral("http://a.jpg"), QString::fromUtf8("http://\xC3\xA9.jpg")}));
    // 0xFE first without a full mark is still UTF-16: "\xFE\x00" is one character.
    EXPECT_EQ(load(QByteArray("\xFE\0b\0", 4)), QStringList{QString::fromUtf8("http://\xC3\xBE" "b")});
    EXPECT_EQ(load("\xEF\xBB\xBFsrv/a.jpg\n"), QStringList{QStringLiteral("http://srv/a.jpg")});
    EXPECT_EQ(load("srv/caf\xC3\xA9.jpg\n"), QStringList{QString::fromUtf8("http://srv/caf\xC3\xA9.jpg")});
    EXPECT_EQ(load("srv/caf\xE9.jpg\n"), QStringList{QString::fromUtf8("http://srv/caf\xC3\xA9.jpg")});
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
    EXPECT_EQ(entries(), (QStringList{QStringLiteral("http://server1/1.jpg"), QStringLiteral("http://b"),
                                      QStringLiteral("http://c"), QStringLiteral("http://server1/1.jpg")}));
    EXPECT_EQ(dialogs.messageTexts(), QStringList{QStringLiteral("File not found\n") + dir.filePath(QStringLiteral("gone.txt"))});
    form.PushButton13_Click();  // cancelled
    EXPECT_EQ(form.urlList().count(), 4);
    EXPECT_EQ(dialogs.messages.size(), 1u);
}

TEST(ReadWholeFile, MissingAndEmptyFilesGiveNoText) {
    QTemporaryDir dir;
    EXPECT_EQ(FileToList::ReadWholeFile(dir.filePath(QStringLiteral("none"))).value(), QString());
    QFile f(dir.filePath(QStringLiteral("empty")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    EXPECT_EQ(FileToList::ReadWholeFile(f.fileName()).value(), QString());
}
