// The offer at start-up: the entries of a run that did not finish come back on Yes, are
// forgotten with their partials on No, stay for the next start on Esc ("not now"), and a run that
// finished or is still running elsewhere is never offered.
#include <QApplication>
#include <QCoreApplication>
#include <QFileInfo>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <unistd.h>

#include "app/Form1.h"
#include "app/StartupEnvironment.h"
#include "download/UnfinishedWork.h"
#include "harness/ListContents.h"
#include "harness/LoopbackServer.h"
#include "harness/RunWait.h"
#include "harness/Timing.h"
#include "harness/ScriptedDialogs.h"
#include "harness/UserSettings.h"
#include "support/Settings.h"

using namespace Download;

namespace {

QString s(const char* text) { return QString::fromUtf8(text); }

const QString kOnline = s("echo 64 bytes from 127.0.0.1: icmp_seq=1 ttl=64 time=0.05 ms");

struct UnfinishedOffer : ::testing::Test {
    QTemporaryDir dir;
    QString state = dir.path() + s("/state");
    QString lastFolder = dir.path() + s("/last run/");
    QString desktop = dir.path() + s("/Desktop/");
    StartupEnvironment env;
    Settings::Store store;
    ScriptedDialogs dialogs;
    std::unique_ptr<Form1> form;

    void SetUp() override {
        clearUserSettings();
        QDir().mkpath(lastFolder);
        QDir().mkpath(desktop);
        env.programFolder = dir.path();
        env.pingCommand = kOnline;
        env.desktopFolder = [this] { return desktop; };
        env.drawHomePageNumber = [] { return 50; };
        env.stateFolder = state;
    }
    void TearDown() override {
        form.reset();
        clearUserSettings();
    }
    // A start of the program, up to the moment the window's event loop has run once.
    // A start of the program, up to the moment the window's event loop has run once and the
    // partials the offer leaves behind are tidied.
    std::atomic<bool> tidied{false};
    std::atomic<QThread*> tidiedOn{nullptr};
    void start(const QStringList& listBefore = {}) {
        form = std::make_unique<Form1>(dialogs, store);
        tidied = false;
        // Direct: the slot runs on the thread that tidied.
        QObject::connect(form.get(), &Form1::unfinishedWorkTidied, [this] {
            tidiedOn = QThread::currentThread();
            tidied = true;
        });
        form->urlList().appendMany(listBefore);
        form->Form_Load(env);
        EXPECT_TRUE(dialogs.messages.empty()) << "nothing asked before the window is up";
        form->show();
        QCoreApplication::processEvents();
        ASSERT_TRUE(QTest::qWaitFor([&] { return tidied.load(); }, Timing::boundMs(20000)));
    }
    void leaveRun(const QStringList& entries) {
        UnfinishedRunRecord record(state);
        ASSERT_TRUE(record.save({lastFolder, entries}));
    }
    QString offerText(int n) const {
        return s("The last run did not finish.\nPut the %1 %2 it did not store back in the list?")
            .arg(n)
            .arg(n == 1 ? s("download") : s("downloads"));
    }
    // A recorded partial of `url` in the last run's folder.
    void leavePartial(const QString& url, const QString& partName) {
        PartialRecord record;
        record.url = url;
        record.folder = lastFolder;
        record.partName = partName;
        Fw::UniqueFd fd = CreatePartialLocked(record);
        ASSERT_TRUE(fd.valid());
        ASSERT_EQ(::write(fd.get(), "data", 4), 4);
        record.goodLength = 4;
        ASSERT_TRUE(PartialStore(state).put(record));
    }
};

}  // namespace

TEST_F(UnfinishedOffer, YesAppendsTheEntriesSetsTheFolderAndKeepsTheRecordForThisCopy) {
    leaveRun({s("http://a.example/1.iso"), s("http://a.example/2.iso")});
    dialogs.messageAnswers = {Dialogs::Yes};
    start({s("http://already.example/")});
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, offerText(2));
    EXPECT_EQ(dialogs.messages[0].code, int(Dialogs::YesNoCancel));
    EXPECT_EQ(contentsOf(form->urlList()),
              (QStringList{s("http://already.example/"), s("http://a.example/1.iso"), s("http://a.example/2.iso")}));
    EXPECT_EQ(form->Text1->text(), lastFolder);
    // This copy owns it now: no other copy is offered it while this one lives...
    EXPECT_FALSE(UnfinishedRunRecord::FindLeftover(state));
    // ...and when it ends without storing them (a crash, a close), the next start offers them again.
    dialogs.messages.clear();
    dialogs.messageAnswers = {Dialogs::Yes};
    start();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, offerText(2));
}

TEST_F(UnfinishedOffer, EntriesFoundOnAPageComeBackWithThatPage) {
    UnfinishedRunRecord record(state);
    ASSERT_TRUE(record.save({lastFolder,
                             {s("http://a.example/1.jpg"), s("http://b.example/2.jpg"), s("http://a.example/3.jpg")},
                             {s("http://a.example/gallery.html"), QString(), s("http://a.example/gallery.html")}}));
    record = UnfinishedRunRecord(state);  // its copy goes
    dialogs.messageAnswers = {Dialogs::Yes};
    start();
    ASSERT_EQ(form->urlList().count(), 3);
    // Positions count from 1.
    EXPECT_EQ(form->urlList().pageAt(1), s("http://a.example/gallery.html"));
    EXPECT_EQ(form->urlList().pageAt(2), QString()) << "an entry typed in has no page";
    EXPECT_EQ(form->urlList().pageAt(3), s("http://a.example/gallery.html"));
}

TEST_F(UnfinishedOffer, YesKeepsTheFolderBoxWhenTheRunsFolderIsGone) {
    leaveRun({s("http://a.example/1.iso")});
    ASSERT_TRUE(QDir(lastFolder).removeRecursively());
    dialogs.messageAnswers = {Dialogs::Yes};
    start();
    EXPECT_EQ(contentsOf(form->urlList()), QStringList{s("http://a.example/1.iso")});
    EXPECT_EQ(form->Text1->text(), desktop);
}

TEST_F(UnfinishedOffer, NoForgetsTheRunAndRemovesItsPartialsOnly) {
    leaveRun({s("http://a.example/1.iso"), s("http://a.example/2.iso")});
    leavePartial(s("http://a.example/1.iso"), s("1.iso.part"));
    // The same address into another folder is another run's work.
    const QString lastFolderBefore = lastFolder;
    lastFolder = desktop;
    leavePartial(s("http://a.example/1.iso"), s("1.iso.part"));
    lastFolder = lastFolderBefore;
    QFile user(lastFolder + s("2.iso.part"));
    ASSERT_TRUE(user.open(QIODevice::WriteOnly));
    user.write("the user's own");
    user.close();

    dialogs.messageAnswers = {Dialogs::No};
    start();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    // Only the part of this run's folder is its own; what No does with it is said.
    EXPECT_EQ(dialogs.messages[0].text, offerText(2) + s(" 4 B of them is kept and will be continued.\nNo removes the kept 4 B."));
    EXPECT_TRUE(form->urlList().count() == 0);
    EXPECT_FALSE(QFile::exists(lastFolder + s("1.iso.part")));
    EXPECT_FALSE(PartialStore(state).find(lastFolder, s("http://a.example/1.iso")));
    EXPECT_TRUE(QFile::exists(lastFolder + s("2.iso.part")));
    EXPECT_TRUE(QFile::exists(desktop + s("1.iso.part")));
    EXPECT_TRUE(PartialStore(state).find(desktop, s("http://a.example/1.iso")));

    form.reset();
    dialogs.messages.clear();
    start();
    EXPECT_TRUE(dialogs.messages.empty()) << "answered No once is answered for good";
}

TEST_F(UnfinishedOffer, EscIsNotNowAndKeepsTheRecordAndItsPartsForTheNextStart) {
    leaveRun({s("http://a.example/1.iso")});
    leavePartial(s("http://a.example/1.iso"), s("1.iso.part"));
    dialogs.messageAnswers = {Dialogs::Cancel};
    start();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, offerText(1) + s(" 4 B of it is kept and will be continued.\nNo removes the kept 4 B."));
    EXPECT_EQ(form->urlList().count(), 0);
    EXPECT_TRUE(QFile::exists(lastFolder + s("1.iso.part")));
    EXPECT_TRUE(PartialStore(state).find(lastFolder, s("http://a.example/1.iso")));

    // Asked again at the next start, and Yes then brings it back with its part.
    form.reset();
    dialogs.messages.clear();
    dialogs.messageAnswers = {Dialogs::Yes};
    start();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_TRUE(dialogs.messages[0].text.startsWith(offerText(1)));
    EXPECT_EQ(contentsOf(form->urlList()), QStringList{s("http://a.example/1.iso")});
    EXPECT_TRUE(QFile::exists(lastFolder + s("1.iso.part")));
}

TEST_F(UnfinishedOffer, EntriesFromTheRecordPassTheAddressRuleAndThoseThatFailAreNamed) {
    // The record is a file: anything may have been written into it.
    leaveRun({s("file:///etc/passwd"), s("http://ok.example/a.iso"), s("javascript:alert(1)"), s("HTTP://Ok.Example/b"),
              s("ftp://x/y"), s("two words")});
    dialogs.messageAnswers = {Dialogs::Yes};
    start();
    EXPECT_EQ(contentsOf(form->urlList()), (QStringList{s("http://ok.example/a.iso"), s("http://ok.example/b")}));
    ASSERT_EQ(dialogs.messages.size(), 2u);
    EXPECT_EQ(dialogs.messages[0].text, offerText(6));
    EXPECT_EQ(dialogs.messages[1].text,
              s("4 lines were not added: not web addresses\nfile:///etc/passwd\njavascript:alert(1)\nftp://x/y\n…"));
}

TEST_F(UnfinishedOffer, NoToAHugeRunRemovesItsPartialsOffTheWindowThread) {
    QStringList entries;
    for (int i = 0; i < 20000; ++i) entries << s("http://a.example/%1.iso").arg(i);
    leaveRun(entries);
    for (int i : {0, 9999, 19999}) leavePartial(entries[i], s("%1.iso.part").arg(i));

    dialogs.messageAnswers = {Dialogs::No};
    start();
    EXPECT_NE(tidiedOn.load(), form->thread()) << "the window's thread did the removal";
    EXPECT_NE(tidiedOn.load(), nullptr);
    for (int i : {0, 9999, 19999}) {
        EXPECT_FALSE(QFile::exists(lastFolder + s("%1.iso.part").arg(i))) << i;
        EXPECT_FALSE(PartialStore(state).find(lastFolder, entries[i])) << i;
    }
    EXPECT_FALSE(UnfinishedRunRecord::FindLeftover(state)) << "the record goes once its partials are gone";
}

TEST_F(UnfinishedOffer, NothingIsOfferedWithoutARecordAfterAFinishedRunOrForALiveCopy) {
    start();
    EXPECT_TRUE(dialogs.messages.empty());

    // A run that ended normally in this copy.
    form->unfinishedRun().begin(lastFolder, {s("http://a/"), s("http://b/")});
    form->unfinishedRun().flush();
    form->unfinishedRun().stored(0);
    form->unfinishedRun().finishedNormally();
    form.reset();
    start();
    EXPECT_TRUE(dialogs.messages.empty());

    // Another copy still running.
    UnfinishedRunRecord live(state);
    ASSERT_TRUE(live.save({lastFolder, {s("http://a/")}}));
    form.reset();
    start();
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(UnfinishedOffer, AWindowClosedMidRunOffersWhatItDidNotStore) {
    start();
    form->unfinishedRun().begin(lastFolder, {s("http://a/"), s("http://b/"), s("http://c/")});
    form->unfinishedRun().stored(1);
    form.reset();  // closed mid-run: no flush asked for
    dialogs.messageAnswers = {Dialogs::Yes};
    start();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].text, offerText(2));
    EXPECT_EQ(contentsOf(form->urlList()), (QStringList{s("http://a/"), s("http://c/")}));
}

TEST_F(UnfinishedOffer, ABigItemOfAWindowClosedMidRunIsOfferedAndContinuedFromItsPartial) {
    // The engine keeps partials in the program's state folder: the same one the offer reads.
    qputenv("XDG_STATE_HOME", QFile::encodeName(dir.path() + s("/xdg")));
    env.stateFolder = StateFolder();
    // The requests of one connection are counted; pieces over idle ones are tested apart.
    store.write(s("Split Big Files"), s("False"));
    constexpr std::size_t kSize = 48u << 20;
    auto byteAt = [](std::size_t i) { return static_cast<char>((i * 13 + i / 997) & 0xff); };
    std::atomic<bool> slow{true};
    std::mutex lock;
    std::vector<std::string> ranges;
    LoopbackServer http;
    http.server().Get("/big.bin", [&](const httplib::Request& req, httplib::Response& res) {
        {
            std::lock_guard<std::mutex> hold(lock);
            ranges.push_back(req.get_header_value("Range"));
        }
        res.set_header("ETag", "\"one\"");
        res.set_header("Accept-Ranges", "bytes");
        res.set_content_provider(kSize, "application/octet-stream", [&](size_t offset, size_t length, httplib::DataSink& sink) {
            if (slow) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::string chunk(std::min<size_t>(length, 256 * 1024), '\0');
            for (std::size_t k = 0; k < chunk.size(); ++k) chunk[k] = byteAt(offset + k);
            sink.write(chunk.data(), chunk.size());
            return true;
        });
    });
    http.start();
    const QString url = http.url(s("/big.bin"));

    start();
    form->Text1->setText(lastFolder);
    form->urlList().append(url);
    QApplication::setQuitOnLastWindowClosed(false);
    form->PushButton2->click();
    const QString part = lastFolder + s("big.bin.part");
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo(part).size() > (20 << 20); }, Timing::boundMs(20000)));
    form->close();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form->IsDownloading; }, Timing::boundMs(10000)));
    QApplication::setQuitOnLastWindowClosed(true);
    EXPECT_TRUE(dialogs.messages.empty()) << "a closed window ends its run without a word";
    form.reset();
    ASSERT_TRUE(QFileInfo::exists(part));

    // The next start offers the entry back; Yes, and Start goes on from the partial.
    slow = false;
    dialogs.messageAnswers = {Dialogs::Yes};
    start();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    // How much is kept, as the record has it, e.g. "21.0 MB of it is kept".
    const QString offer = dialogs.messages[0].text;
    EXPECT_TRUE(QRegularExpression(QRegularExpression::escape(offerText(1)) +
                                   s(" \\d+\\.\\d MB of it is kept and will be continued\\.\nNo removes the kept \\d+\\.\\d MB\\.$"))
                    .match(offer)
                    .hasMatch())
        << offer.toStdString();
    EXPECT_EQ(contentsOf(form->urlList()), QStringList{url});
    EXPECT_EQ(form->Text1->text(), lastFolder);
    dialogs.messages.clear();
    EXPECT_TRUE(ClickStartAndWait(*form));
    EXPECT_EQ(dialogs.messageTexts(), QStringList{s("Done.\r\n1 stored.")});
    {
        std::lock_guard<std::mutex> hold(lock);
        ASSERT_EQ(ranges.size(), 2u);
        ASSERT_EQ(ranges[1].rfind("bytes=", 0), 0u) << ranges[1];
        EXPECT_GE(std::stoll(ranges[1].substr(6)), qint64(8) << 20);
    }
    EXPECT_FALSE(QFileInfo::exists(part));
    QFile stored(lastFolder + s("big.bin"));
    ASSERT_TRUE(stored.open(QIODevice::ReadOnly));
    const QByteArray data = stored.readAll();
    ASSERT_EQ(data.size(), qsizetype(kSize));
    bool same = true;
    for (std::size_t i = 0; i < kSize && same; ++i) same = data[qsizetype(i)] == byteAt(i);
    EXPECT_TRUE(same);
    form.reset();
    qunsetenv("XDG_STATE_HOME");
}
