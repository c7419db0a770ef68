// A digest after an address on a list line, in list files, pasted text and Add One URL, and what
// a run of the window makes of it.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>

#include "app/Form1.h"
#include "app/ListActions.h"
#include "harness/FolderContents.h"
#include "harness/ListContents.h"
#include "harness/ListWait.h"
#include "harness/LoopbackServer.h"
#include "harness/RunWait.h"
#include "harness/ScriptedDialogs.h"
#include "listbuild/FileToList.h"
#include "listbuild/FindAddresses.h"
#include "listbuild/ListDigests.h"
#include "listbuild/UserAddress.h"

using Download::Checksum::Digest;
using Download::Checksum::Kind;

namespace {
QString s(const char* text) { return QString::fromUtf8(text); }
QByteArray Sha256(const QByteArray& data) { return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex(); }

struct Digests : ::testing::Test {
    void SetUp() override { ListDigests::Forget(); }
    void TearDown() override { ListDigests::Forget(); }
};
}  // namespace

TEST_F(Digests, ListFileAndPastedLinesGiveTheirAddressesTheDigestAfterThem) {
    const QByteArray a(64, 'a'), b(128, 'B');
    const std::string text = "http://h/a.iso  sha256:" + a.toStdString() + "\r\nh/b.iso\tSHA512:" + b.toStdString() +
                             "\nhttp://h/c.iso\nhttp://h/d.iso sha256:abc\nhttp://h/e.iso md5:" + std::string(32, 'z') +
                             "\nsha256:" + a.toStdString() + "\n";
    std::vector<std::string> entries;
    Main::NotAdded notAdded;
    FileToList::ForEachListEntry(text, [&](std::string_view e) { entries.emplace_back(e); }, &notAdded);
    EXPECT_EQ(entries, (std::vector<std::string>{"http://h/a.iso", "http://h/b.iso", "http://h/c.iso"}));
    EXPECT_EQ(ListDigests::Find(s("http://h/a.iso")), (Digest{Kind::Sha256, a}));
    EXPECT_EQ(ListDigests::Find(s("http://h/b.iso")), (Digest{Kind::Sha512, b.toLower()}));
    EXPECT_EQ(ListDigests::Find(s("http://h/c.iso")), std::nullopt);
    // A digest of the wrong length refuses its line, and says why; a lone digest is no address.
    EXPECT_EQ(notAdded.count, 3);
    EXPECT_TRUE(notAdded.message().endsWith(s("The digest after an address is malformed (sha256: 3 hex digits where 64 belong)."))) <<
        notAdded.message().toStdString();

    // Only the prefix's letters are taken in either case: bytes that differ from its digits or its
    // colon by one bit leave the line a plain address.
    entries.clear();
    FileToList::ForEachListEntry("http://h/f.iso MD\x15:1\nhttp://h/g.iso md5\x1a1\n",
                                 [&](std::string_view e) { entries.emplace_back(e); });
    EXPECT_EQ(entries.size(), 2u);

    // Pasted text: the word after an address, apart from it.
    const QStringList found = Main::FindWebAddresses(s("see http://h/p.iso sha256:") + QString::fromLatin1(a) +
                                                     s(" or http://h/q.iso."));
    EXPECT_EQ(found, (QStringList{s("http://h/p.iso"), s("http://h/q.iso")}));
    EXPECT_FALSE(ListDigests::Find(s("http://h/q.iso")));
    EXPECT_TRUE(ListDigests::Find(s("http://h/p.iso")));
}

namespace {
struct DigestRun : Digests {
    LoopbackServer http;
    ScriptedDialogs dialogs;
    Settings::Store settings;
    Form1 form{dialogs, settings};
    QTemporaryDir dir;
    QByteArray good = QByteArray(100000, 'g'), other = QByteArray(5000, 'o');

    void SetUp() override {
        Digests::SetUp();
        http.server().Get("/f/good.bin", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(good.toStdString(), "application/octet-stream");
        });
        http.server().Get("/f/bad.bin", [this](const httplib::Request&, httplib::Response& res) {
            QByteArray flipped = good;
            flipped[500] = 'x';
            res.set_content(flipped.toStdString(), "application/octet-stream");
        });
        http.start();
        form.Text1->setText(dir.path());
    }
    QString tipOf(int row) { return form.urlList().data(form.urlList().index(row), Qt::ToolTipRole).toString(); }
};
}  // namespace

TEST_F(DigestRun, AddOneUrlWithADigestVerifiesOrKeepsTheFileApart) {
    const QString digest = s("sha256:") + QString::fromLatin1(Sha256(good));
    dialogs.inputAnswers = {http.url(s("/f/good.bin")) + s("  ") + digest + s("\n") + http.url(s("/f/bad.bin")) + s(" ") + digest +
                            s("\n") + http.url(s("/f/[1-2].bin ")) + digest};
    form.PushButton5_Click();
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_EQ(contentsOf(form.urlList()), (QStringList{http.url(s("/f/good.bin")), http.url(s("/f/bad.bin"))}));
    // A digest for a range of files is refused: it belongs to one.
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_TRUE(dialogs.messages[0].text.startsWith(s("A digest belongs to one file, not to 2"))) << dialogs.messages[0].text.toStdString();
    dialogs.messages.clear();

    ASSERT_TRUE(ClickStartAndWait(form));
    EXPECT_TRUE(tipOf(0).contains(s("Verified: SHA-256 matches the list"))) << tipOf(0).toStdString();
    EXPECT_TRUE(tipOf(1).contains(s("Checksum failed: SHA-256 is "))) << tipOf(1).toStdString();
    EXPECT_EQ(entriesOf(dir.path()), (QStringList{s("bad.bin.checksum-failed"), s("good.bin")}));
    ASSERT_EQ(dialogs.messages.size(), 1u);
    const QString closing = dialogs.messages[0].text;
    EXPECT_TRUE(closing.contains(s("1 stored, 1 failed"))) << closing.toStdString();
    EXPECT_TRUE(closing.contains(s("the list says ") + QString::fromLatin1(Sha256(good)))) << closing.toStdString();
}

TEST_F(DigestRun, ASavedListKeepsEachDigestAfterItsAddressAndLoadsBackWithIt) {
    const QByteArray a(64, 'a');
    dialogs.inputAnswers = {http.url(s("/f/good.bin")) + s(" sha256:") + QString::fromLatin1(a) + s("\n") + http.url(s("/f/plain.bin"))};
    form.PushButton5_Click();
    ASSERT_TRUE(WaitForListWork(form));
    const QString target = dir.filePath(s("saved.txt"));
    dialogs.saveFileAnswers = {target};
    form.findChild<ListActions*>()->saveListAs();
    QFile saved(target);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), (http.url(s("/f/good.bin")) + s("  sha256:") + QString::fromLatin1(a) + s("\n") +
                                http.url(s("/f/plain.bin")) + s("\n")).toUtf8());

    // Another session reads the file: the digest comes back with its address.
    ListDigests::Forget();
    form.urlList().clear();
    dialogs.openFilesAnswers = {{target}};
    form.PushButton13_Click();
    ASSERT_TRUE(WaitForListWork(form));
    EXPECT_EQ(contentsOf(form.urlList()), (QStringList{http.url(s("/f/good.bin")), http.url(s("/f/plain.bin"))}));
    EXPECT_EQ(ListDigests::Find(http.url(s("/f/good.bin"))), (Digest{Kind::Sha256, a}));
    EXPECT_FALSE(ListDigests::Find(http.url(s("/f/plain.bin"))));
}
