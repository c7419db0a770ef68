// The engine against a real HTTP server on loopback: what is stored, under which name, and that
// a failed item leaves nothing behind.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "download/DownloadEngine.h"
#include "download/FlushChoice.h"
#include "harness/Descriptors.h"
#include "harness/FolderContents.h"
#include "harness/JobRun.h"
#include "harness/LoopbackServer.h"
#include "harness/ScriptedDialogs.h"
#include "harness/Timing.h"

using namespace std::chrono_literals;

namespace {

QString s(const char* text) { return QString::fromUtf8(text); }

void writeFile(const QString& path, const QByteArray& data) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(data);
}

struct EngineFixture : ::testing::Test {
    // Torn down in reverse: the engine closes its connections before the server stops, so the
    // server does not wait out its keep-alive time.
    std::atomic<bool> released{false};
    LoopbackServer http;
    QTemporaryDir dir;
    ScriptedDialogs dialogs;
    // One try each: retries have tests of their own.
    Download::Engine engine{Download::TransferLimits{2000, 1, 5, 1}};

    EngineFixture() {
        // One transfer at a time, as these cases order their server's answers; several at once
        // have tests of their own.
        engine.setMaxTransfers(1);
        auto& srv = http.server();
        srv.Get("/files/(.*)", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content("body of " + req.matches[1].str(), "application/octet-stream");
        });
        srv.Get("/error.jpg", [](const httplib::Request&, httplib::Response& res) {
            res.status = 500;
            res.set_content("oops", "text/plain");
        });
        srv.Get("/r1", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/r2"); });
        srv.Get("/r2", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/r3", 301); });
        srv.Get("/r3", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/files/final.jpg", 307); });
        srv.Get("/loop.jpg", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/loop.jpg"); });
        srv.Get("/elsewhere.jpg", [](const httplib::Request&, httplib::Response& res) {
            res.status = 302;
            res.set_header("Location", "file:///etc/hostname");
        });
        srv.Get("/ftp.jpg", [](const httplib::Request&, httplib::Response& res) {
            res.status = 302;
            res.set_header("Location", "ftp://127.0.0.1/x.jpg");
        });
        // Declares 100,000 bytes and drops the connection after 30,000.
        srv.Get("/reset.bin", [](const httplib::Request&, httplib::Response& res) {
            res.set_content_provider(100000, "application/octet-stream",
                                     [](size_t offset, size_t, httplib::DataSink& sink) {
                                         if (offset >= 30000) return false;
                                         std::string chunk(10000, 'r');
                                         sink.write(chunk.data(), chunk.size());
                                         return true;
                                     });
        });
        // Sends the headers, then nothing until the test lets go.
        srv.Get("/stall.bin", [this](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider("application/octet-stream", [this](size_t, httplib::DataSink&) {
                stalling = true;
                for (int k = 0; k < 250 && !released; ++k) std::this_thread::sleep_for(20ms);
                return false;
            });
        });
    }
    std::atomic<bool> stalling{false};
    ~EngineFixture() override { released = true; }

    QString folder() const { return dir.path(); }
    QString in(const char* name) const { return dir.filePath(s(name)); }

    Download::RunSummary run(const QStringList& paths, const QString& into = {}) {
        QStringList urls;
        for (const QString& p : paths) urls << http.url(p);
        return RunJob(engine, urls, into.isEmpty() ? folder() : into);
    }
};

// The closing message of a run that stored every item.
QString allStored(const Download::RunSummary& summary) { return s("Done.\r\n%1 stored.").arg(summary.items()); }

}  // namespace

TEST_F(EngineFixture, StoresInListOrderAndNumbersEqualNames) {
    http.start();
    writeFile(in("taken.jpg"), "old");
    auto summary = run({s("/files/a.jpg"), s("/files/a.jpg"), s("/other/../files/a.jpg"), s("/files/taken.jpg"),
                        s("/r1"), s("/files/README"), s("/files/README")});
    EXPECT_EQ(summary.finalMessage(), allStored(summary));
    EXPECT_EQ(entriesOf(folder()), (QStringList{s("README"), s("README (1)"), s("a (1).jpg"), s("a (2).jpg"),
                                                s("a.jpg"), s("final.jpg"), s("taken (1).jpg"), s("taken.jpg")}));
    EXPECT_EQ(contentOf(in("a (1).jpg")), "body of a.jpg");
    EXPECT_EQ(contentOf(in("taken.jpg")), "old");
    EXPECT_EQ(contentOf(in("taken (1).jpg")), "body of taken.jpg");
    // A redirected address is named after where it ended, as a browser names a download.
    EXPECT_EQ(contentOf(in("final.jpg")), "body of final.jpg");
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(EngineFixture, AFileThatAppearsInTheFolderDuringTheRunIsNeverReplaced) {
    // The run has named a file in the folder before another program puts b.jpg and "b (1).jpg"
    // there, just before b.jpg's answer comes.
    http.server().Get("/late/(.*)", [this](const httplib::Request& req, httplib::Response& res) {
        writeFile(in("b.jpg"), "theirs");
        writeFile(in("b (1).jpg"), "theirs too");
        res.set_content("body of " + req.matches[1].str(), "image/jpeg");
    });
    http.start();
    auto summary = run({s("/files/a.jpg"), s("/late/b.jpg"), s("/files/b.jpg")});
    EXPECT_EQ(summary.finalMessage(), allStored(summary));
    EXPECT_EQ(entriesOf(folder()), (QStringList{s("a.jpg"), s("b (1).jpg"), s("b (2).jpg"), s("b (3).jpg"), s("b.jpg")}));
    EXPECT_EQ(contentOf(in("b.jpg")), "theirs");
    EXPECT_EQ(contentOf(in("b (1).jpg")), "theirs too");
    EXPECT_EQ(contentOf(in("b (2).jpg")), "body of b.jpg");
    EXPECT_EQ(contentOf(in("b (3).jpg")), "body of b.jpg");
    // Each item says where its file went.
    ASSERT_EQ(summary.stored().size(), 3u);
    EXPECT_EQ(summary.stored()[1].second, in("b (2).jpg"));
    EXPECT_EQ(summary.stored()[2].second, in("b (3).jpg"));
}

TEST_F(EngineFixture, AnEntryIsFetchedAndNamedFromOneText) {
    http.start();
    const QString nul(QChar(0));
    QStringList entries{http.url(s("/files/trail.txt   ")), s("\t") + http.url(s("/files/tab.txt\t")),
                        http.url(s("/files/cut") + nul + s("rest.txt")), http.url(s("/files/in\tside.txt")),
                        s("file:///etc/hostname"), http.url(s("/files/noscheme.txt")).mid(7)};
    auto summary = RunJob(engine, entries, folder());
    // A control character is sent escaped and left out of the decoded name.
    EXPECT_EQ(entriesOf(folder()), (QStringList{s("cutrest.txt"), s("inside.txt"), s("tab.txt"), s("trail.txt")}));
    EXPECT_EQ(contentOf(in("trail.txt")), "body of trail.txt");
    EXPECT_EQ(contentOf(in("cutrest.txt")), QByteArray("body of cut\0rest.txt", 20));
    EXPECT_EQ(contentOf(in("inside.txt")), "body of in\tside.txt");
    ASSERT_EQ(summary.failedCount(), 2);
    for (const auto& failure : summary.failures())
        EXPECT_EQ(failure.second, s("Only http and https addresses can be downloaded")) << failure.first.toStdString();
}

TEST_F(EngineFixture, ManyEqualNamesWhileEarlierFilesAreStillBeingFinished) {
    http.start();
    QStringList paths, expected{s("same.bin")};
    for (int k = 0; k < 40; ++k) paths << s("/files/same.bin");
    for (int k = 1; k < 40; ++k) expected << s("same (%1).bin").arg(k);
    expected.sort();
    auto summary = run(paths);
    EXPECT_EQ(summary.finalMessage(), allStored(summary));
    EXPECT_EQ(entriesOf(folder()), expected);
    for (const QString& name : expected) EXPECT_EQ(contentOf(dir.filePath(name)), "body of same.bin");
}

TEST_F(EngineFixture, FailedItemsLeaveNothingAndAreNamedWithTheirReasons) {
    http.start();
    const QString tooLong = QString(256, QLatin1Char('n'));
    const QStringList paths{s("/missing.jpg"), s("/error.jpg"), s("/elsewhere.jpg"), s("/ftp.jpg"), s("/loop.jpg"),
                            s("/reset.bin"), s("/stall.bin"), s("/files/") + tooLong, s("/files/")};
    auto summary = run(paths);
    // A name too long is cut to what the folder holds; a folder address is named after its
    // host. Nothing else is stored, no temporary either.
    EXPECT_EQ(entriesOf(folder()), (QStringList{s("127.0.0.1"), QString(255, QLatin1Char('n'))}));
    EXPECT_EQ(summary.items(), 9);
    ASSERT_EQ(summary.failedCount(), 7);
    const QString reasons[] = {s("HTTP 404"), s("HTTP 500"), s("Protocol \"file\""), s("Protocol \"ftp\""),
                               s("Too many redirects"), s("The connection closed before the end of the file"),
                               s("The server stopped sending (1 s)")};
    for (int k = 0; k < 7; ++k) {
        EXPECT_EQ(summary.failures()[k].first, http.url(paths[k]));
        EXPECT_TRUE(summary.failures()[k].second.contains(reasons[k]))
            << paths[k].toStdString() << ": " << summary.failures()[k].second.toStdString();
    }
    const QStringList lines = summary.finalMessage().split(s("\r\n"));
    ASSERT_EQ(lines.size(), 10);
    EXPECT_EQ(lines[0], s("Done."));
    EXPECT_EQ(lines[1], s("2 stored, 7 failed."));
    EXPECT_EQ(lines[2], QString());
    EXPECT_EQ(lines[3], s("7 of 9 downloads failed:"));
    EXPECT_EQ(lines[4], http.url(s("/missing.jpg")) + s(" - HTTP 404"));
    EXPECT_EQ(lines[5], http.url(s("/error.jpg")) + s(" - HTTP 500"));
    EXPECT_EQ(lines[9], s("(and 2 more)"));
}

TEST_F(EngineFixture, FileAppearingDuringTheTransferIsNotReplaced) {
    const QString target = in("appear.jpg");
    http.server().Get("/appear.jpg", [&](const httplib::Request&, httplib::Response& res) {
        QFile f(target);
        if (f.open(QIODevice::WriteOnly)) f.write("theirs");
        res.set_content("ours", "image/jpeg");
    });
    http.start();
    auto summary = run({s("/appear.jpg")});
    EXPECT_EQ(summary.finalMessage(), allStored(summary));
    EXPECT_EQ(contentOf(target), "theirs");
    EXPECT_EQ(contentOf(in("appear (1).jpg")), "ours");
    EXPECT_EQ(entriesOf(folder()).size(), 2);
}

TEST_F(EngineFixture, FolderReplacedDuringTheTransferGetsNothing) {
    // The folder is removed and made anew while the body comes in: the file must not land in the
    // new folder, and the next item goes to the new one.
    http.server().Get("/vanish.jpg", [&](const httplib::Request&, httplib::Response& res) {
        QDir(folder()).removeRecursively();
        QDir().mkpath(folder());
        res.set_content("late", "image/jpeg");
    });
    http.start();
    writeFile(in("keep.txt"), "x");
    auto summary = run({s("/vanish.jpg"), s("/files/next.jpg")});
    EXPECT_EQ(summary.failedCount(), 1);
    EXPECT_TRUE(summary.finalMessage().endsWith(http.url(s("/vanish.jpg")) + s(" - Folder not found")))
        << summary.finalMessage().toStdString();
    EXPECT_EQ(entriesOf(folder()), QStringList{s("next.jpg")});

    // A folder that is simply gone fails each item alike.
    QDir(folder()).removeRecursively();
    summary = run({s("/files/a.jpg")});
    EXPECT_TRUE(summary.finalMessage().endsWith(s(" - Folder not found")));
    EXPECT_FALSE(QFile::exists(folder()));
}

TEST_F(EngineFixture, FilesMadeAheadInAReplacedFolderTakeNoItem) {
    // Once a file has its name, files without one are made ready in its folder for the next
    // items. The folder is then removed and made anew: the items after that go into the new
    // folder, none into a file made ahead in the old one.
    const QString old = QDir(folder()).canonicalPath();
    std::atomic<bool> madeAhead{false};
    http.server().Get("/replace.jpg", [&](const httplib::Request&, httplib::Response& res) {
        // Its own temporary and at least one made ahead, after the first file has its name.
        QElapsedTimer waited;
        waited.start();
        while (!(madeAhead = QFile::exists(in("first.jpg")) && namelessFilesIn(old) >= 2) && waited.elapsed() < Timing::boundMs(5000))
            std::this_thread::sleep_for(5ms);
        QDir(folder()).removeRecursively();
        QDir().mkpath(folder());
        res.set_content("late", "image/jpeg");
    });
    http.start();
    const auto summary = run({s("/files/first.jpg"), s("/replace.jpg"), s("/files/next.jpg"), s("/files/last.jpg")});
    EXPECT_TRUE(madeAhead) << "no file was made ahead before the folder was replaced";
    EXPECT_EQ(summary.storedCount(), 3);
    ASSERT_EQ(summary.failedCount(), 1) << summary.finalMessage().toStdString();
    EXPECT_EQ(summary.failures()[0].second, s("Folder not found"));
    EXPECT_EQ(entriesOf(folder()), (QStringList{s("last.jpg"), s("next.jpg")}));
    EXPECT_EQ(contentOf(in("next.jpg")), "body of next.jpg");
    // What was made ahead and not taken is gone with the run.
    EXPECT_EQ(namelessFilesIn(QDir(folder()).canonicalPath()), 0);
}

TEST_F(EngineFixture, ConnectionIsKeptAcrossItemsAndADroppedOneIsReplaced) {
    std::mutex lock;
    std::set<int> ports;
    http.server().set_keep_alive_timeout(1);
    http.server().Get("/port/(.*)", [&](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard<std::mutex> g(lock);
        ports.insert(req.remote_port);
        res.set_content("p", "text/plain");
    });
    http.start();
    auto summary = run({s("/port/1"), s("/port/2"), s("/port/3")});
    EXPECT_EQ(summary.failedCount(), 0);
    EXPECT_EQ(ports.size(), 1u) << "items on one host should share a connection";
    // The server closes the idle connection; the next item must not fail for it.
    std::this_thread::sleep_for(1600ms);
    summary = run({s("/port/4"), s("/port/5")});
    EXPECT_EQ(summary.finalMessage(), allStored(summary));
    EXPECT_EQ(ports.size(), 2u);
    EXPECT_EQ(entriesOf(folder()).size(), 5);
}

TEST_F(EngineFixture, StopEndsTheItemPromptlyAndLeavesNothing) {
    http.start();
    std::vector<Download::JobItem> items{{1, http.url(s("/stall.bin"))}, {2, http.url(s("/files/after.jpg"))}};
    Download::JobOptions one;
    one.atOnce = 1;
    Download::DownloadJob job(engine, folder(), std::move(items), one, nullptr);
    std::optional<Download::JobResult> result;
    QObject::connect(&job, &Download::DownloadJob::result, [&](const Download::JobResult& r) { result = r; });
    job.start();
    // The headers have come; the body would take 5 s.
    ASSERT_TRUE(QTest::qWaitFor([&] { return stalling.load(); }, Timing::boundMs(5000)));
    // The body comes in to a file without a name.
    EXPECT_TRUE(entriesOf(folder()).isEmpty());
    QElapsedTimer sinceStop;
    sinceStop.start();
    job.stop();
    ASSERT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, Timing::boundMs(5000)));
    EXPECT_LT(sinceStop.elapsed(), Timing::boundMs(500));
    EXPECT_TRUE(result->stopped);
    EXPECT_EQ(result->notReached, (std::vector<Download::EntryId>{1, 2}));
    EXPECT_EQ(result->summary.failedCount(), 0);
    EXPECT_TRUE(entriesOf(folder()).isEmpty());
}

TEST_F(EngineFixture, TemporariesOfEitherKindLeaveNothingBehindAndOnlyRecordedLeftoversAreRemoved) {
    http.start();
    // Files named like temporaries but made by someone else: never removed.
    const char* names[] = {".fetchwright-a1B2c3.part", ".fetchwright-zzzzzz.part", ".fetchwright-a1B2c.part",
                           ".fetchwright-a1B2c3.partx", "fetchwright-a1B2c3.part", ".fetchwright-a1-2c3.part"};
    for (const char* n : names) writeFile(in(n), "x");
    EXPECT_TRUE(Download::IsTemporaryName(s(names[0])));
    EXPECT_FALSE(Download::IsTemporaryName(s(names[2])));
    QStringList expected;
    for (const char* n : names) expected << s(n);
    for (auto method : {Download::TemporaryMethod::Best, Download::TemporaryMethod::Named}) {
        engine.setTemporaryMethod(method);
        auto summary = run({s("/files/a.jpg"), s("/missing.jpg"), s("/reset.bin")});
        EXPECT_EQ(summary.failedCount(), 2);
        EXPECT_EQ(Download::RemoveLeftoverTemporaries(folder()), 0);
    }
    expected << s("a (1).jpg") << s("a.jpg");
    expected.sort();
    EXPECT_EQ(entriesOf(folder()), expected);
}

TEST(PublishWithoutReplace, EveryMethodRefusesATakenNameAndMovesToAFreeOne) {
    QTemporaryDir dir;
    const int dirFd = ::open(QFile::encodeName(dir.path()).constData(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dirFd, 0);
    using M = Download::PublishMethod;
    for (M method : {M::Best, M::LinkUnlink, M::ReserveRename}) {
        writeFile(dir.filePath(s("tmp")), "new");
        writeFile(dir.filePath(s("taken")), "old");
        const auto taken = Download::PublishWithoutReplace(dirFd, "tmp", "taken", method);
        ASSERT_FALSE(taken);
        EXPECT_EQ(taken.error().kind, Fw::ErrorKind::NameTaken);
        EXPECT_EQ(contentOf(dir.filePath(s("taken"))), "old");
        EXPECT_TRUE(Download::PublishWithoutReplace(dirFd, "tmp", "free", method));
        EXPECT_EQ(contentOf(dir.filePath(s("free"))), "new");
        EXPECT_FALSE(QFile::exists(dir.filePath(s("tmp"))));
        QFile::remove(dir.filePath(s("free")));
        QFile::remove(dir.filePath(s("taken")));
    }
    ::close(dirFd);
}

// A flush of a whole file system stands in for each file's fsync only where it is known to write
// out every file to its disk and to report their write errors. On an overlay, for one, it
// reports none of the errors of the files underneath; on an encrypted stacked file system the
// data does not even reach the disk.
TEST(SharedFlush, StandsInForEachFilesFsyncOnlyOnLocalDiskFileSystemsOfRecentKernels) {
    const char* debian12 = "6.1.0-13-amd64";
    for (long local : {0xEF53L, 0x58465342L, 0x9123683EL, 0xF2F52010L, 0x01021994L, 0x4d44L, 0x2011BAB0L})
        EXPECT_TRUE(Download::SharedFlushCoversFiles(local, debian12)) << std::hex << local;
    // overlay, ecryptfs, FUSE, NFS, SMB, an unknown one
    for (long other : {0x794c7630L, 0xf15fL, 0x65735546L, 0x6969L, 0xFE534D42L, 0x12345678L})
        EXPECT_FALSE(Download::SharedFlushCoversFiles(other, debian12)) << std::hex << other;
    // Before 5.17 the flush does not report the file system's own errors, before 5.8 no write errors.
    EXPECT_FALSE(Download::SharedFlushCoversFiles(0xEF53L, "5.10.0-26-amd64"));
    EXPECT_FALSE(Download::SharedFlushCoversFiles(0xEF53L, "5.16.20"));
    EXPECT_FALSE(Download::SharedFlushCoversFiles(0xEF53L, "4.19.0"));
    EXPECT_TRUE(Download::SharedFlushCoversFiles(0xEF53L, "5.17.0"));
    EXPECT_TRUE(Download::SharedFlushCoversFiles(0xEF53L, "10.2.1"));
    EXPECT_FALSE(Download::SharedFlushCoversFiles(0xEF53L, ""));
    EXPECT_FALSE(Download::SharedFlushCoversFiles(0xEF53L, nullptr));
}

TEST(FlushChoice, ASharedFlushSlowedByOthersWritesGivesWayToEachFilesAndIsTriedAgainLater) {
    Download::FlushChoice choice;
    EXPECT_FALSE(choice.shared(1)) << "one file is flushed on its own";
    ASSERT_TRUE(choice.shared(64)) << "the shared flush comes first";
    choice.sharedTook(5, 64);
    EXPECT_TRUE(choice.shared(64)) << "a quick one stays";

    // Another program's 1.5 GB are written with the next batch's flush.
    choice.sharedTook(900, 64);
    ASSERT_FALSE(choice.shared(64));
    choice.eachTook(0.2);
    int eachBatches = 1;
    while (!choice.shared(64)) {
        choice.eachTook(0.2);
        ASSERT_LE(++eachBatches, Download::FlushChoice::kTryAgainAfter + 1) << "the shared flush is never tried again";
    }
    EXPECT_EQ(eachBatches, Download::FlushChoice::kTryAgainAfter);
    // Tried again: still slow, so each file's once more; quick again, so shared from then on.
    choice.sharedTook(700, 64);
    EXPECT_FALSE(choice.shared(64));
    for (int k = 0; k < Download::FlushChoice::kTryAgainAfter; ++k) choice.shared(64);
    ASSERT_TRUE(choice.shared(64));
    choice.sharedTook(4, 64);
    EXPECT_TRUE(choice.shared(64));
    EXPECT_TRUE(choice.shared(64));

    // Where each file's own flush is slower still (a journal's commit each), the shared flush
    // comes back at once and stays, however long a batch's takes.
    Download::FlushChoice journaled;
    ASSERT_TRUE(journaled.shared(256));
    journaled.sharedTook(800, 256);
    ASSERT_FALSE(journaled.shared(256)) << "3.1 ms a file, slow beside the 2 ms a file's own is taken to cost";
    journaled.eachTook(8);
    EXPECT_TRUE(journaled.shared(256)) << "3.1 ms a file against 8";
    journaled.sharedTook(800, 256);
    EXPECT_TRUE(journaled.shared(256));
}

// A small disk: a 1 MB tmpfs in a user and mount namespace of its own. The outer test runs this
// program again inside the namespace, where the inner test does the work.
TEST(FullDisk, AnItemFailsBeforeTheReserveIsReachedLeavesNothingAndTheRunGoesOn) {
    const QByteArray where = qgetenv("FETCHWRIGHT_TINY_DISK");
    if (where.isEmpty()) {
        const QString unshare = QStandardPaths::findExecutable(s("unshare"));
        if (unshare.isEmpty()) GTEST_SKIP() << "unshare not found";
        QTemporaryDir probeDir;
        QProcess probe;
        probe.start(unshare, {s("-rm"), s("sh"), s("-c"), s("mount -t tmpfs -o size=1m none \"$0\""), probeDir.path()});
        probe.waitForFinished(10000);
        if (probe.exitStatus() != QProcess::NormalExit || probe.exitCode() != 0)
            GTEST_SKIP() << "user and mount namespaces are not permitted here";

        std::atomic<bool> stop{false};
        LoopbackServer http;
        http.server().Get("/big.bin", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string(2 << 20, 'b'), "application/octet-stream");
        });
        // No length, and no end until the client gives up; slow enough for the free space to be
        // watched as it goes down.
        http.server().Get("/endless.bin", [&](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider("application/octet-stream", [&](size_t, httplib::DataSink& sink) {
                std::this_thread::sleep_for(2ms);
                const std::string chunk(8192, 'e');
                return !stop && sink.write(chunk.data(), chunk.size());
            });
        });
        http.server().Get("/small.txt", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string(8000, 's'), "text/plain");
        });
        http.start();
        QTemporaryDir mountPoint;
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(s("FETCHWRIGHT_TINY_DISK"), mountPoint.path());
        env.insert(s("FETCHWRIGHT_TINY_DISK_SERVER"), QString::fromStdString(http.base()));
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        const QString self = QCoreApplication::applicationFilePath();
        child.start(unshare, {s("-rm"), s("sh"), s("-c"),
                              s("mount -t tmpfs -o size=1m none \"$FETCHWRIGHT_TINY_DISK\" && exec \"$0\" "
                                "--gtest_filter=FullDisk.AnItemFailsBeforeTheReserveIsReachedLeavesNothingAndTheRunGoesOn"),
                              self});
        const bool finished = child.waitForFinished(60000);
        stop = true;
        ASSERT_TRUE(finished);
        const QByteArray output = child.readAll();
        EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
        EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
        return;
    }

    // Inside the namespace: the tmpfs is mounted at `where`.
    const QString folder = QString::fromLocal8Bit(where);
    const QString server = QString::fromLocal8Bit(qgetenv("FETCHWRIGHT_TINY_DISK_SERVER"));
    constexpr qint64 kReserve = 48 * 1024;  // below a twentieth of 1 MB, so it is the one used
    auto freeBytes = [&] {
        struct statvfs fs {};
        return ::statvfs(where.constData(), &fs) == 0 ? qint64(fs.f_bavail) * qint64(fs.f_frsize) : qint64(-1);
    };
    ScriptedDialogs dialogs;
    {
        Download::TransferLimits limits;
        limits.freeReserveBytes = kReserve;
        Download::Engine engine{limits};
        std::atomic<bool> done{false};
        std::atomic<qint64> lowest{freeBytes()};
        std::thread watch([&] {
            while (!done) {
                lowest = std::min<qint64>(lowest, freeBytes());
                std::this_thread::yield();
            }
        });
        auto summary = RunJob(
            engine, {server + s("/big.bin"), server + s("/endless.bin"), server + s("/small.txt")}, folder);
        done = true;
        watch.join();
        ASSERT_EQ(summary.failedCount(), 2) << summary.finalMessage().toStdString();
        // The length is known: refused before a byte is written. Without one: stopped in time.
        EXPECT_EQ(summary.failures()[0].second, s("Not enough free disk space"));
        EXPECT_EQ(summary.failures()[1].second, s("Not enough free disk space"));
        EXPECT_GE(lowest, kReserve);
        EXPECT_EQ(entriesOf(folder), QStringList{s("small.txt")});
        EXPECT_EQ(QFileInfo(folder + s("/small.txt")).size(), 8000);
    }
    {
        // Without the check, the file system's own refusal is the reason, and still nothing stays.
        Download::TransferLimits limits;
        limits.freeReserveBytes = -1;
        Download::Engine engine{limits};
        auto summary = RunJob(engine, {server + s("/endless.bin"), server + s("/small.txt")}, folder);
        ASSERT_EQ(summary.failedCount(), 1);
        EXPECT_EQ(summary.failures()[0].second, s("No space left on device"));
        EXPECT_EQ(entriesOf(folder), (QStringList{s("small (1).txt"), s("small.txt")}));
    }
}

TEST_F(EngineFixture, ANumberedNameHandedOutEarlierIsNotTakenByAnotherBase) {
    // The third address is named "a (1).jpg" by its own last part, the name the second item was
    // numbered to.
    http.start();
    for (int round = 0; round < 20; ++round) {
        QTemporaryDir into;
        const auto summary = RunJob(engine,
                                    {http.url(s("/files/a.jpg")), http.url(s("/files/a.jpg")), http.url(s("/files/a%20(1).jpg"))},
                                    into.path());
        ASSERT_EQ(summary.storedCount(), 3) << "round " << round;
        ASSERT_EQ(entriesOf(into.path()), (QStringList{s("a (1) (1).jpg"), s("a (1).jpg"), s("a.jpg")}));
        ASSERT_EQ(contentOf(into.filePath(s("a (1).jpg"))), "body of a.jpg") << "round " << round;
        ASSERT_EQ(contentOf(into.filePath(s("a (1) (1).jpg"))), "body of a (1).jpg") << "round " << round;
    }
}

TEST_F(EngineFixture, ManyItemsOfEveryOutcomeLeaveNoDescriptorOpen) {
    http.start();
    QStringList paths;
    for (int k = 0; k < 6; ++k)
        paths << s("/files/f%1.bin").arg(k) << s("/missing.jpg") << s("/reset.bin") << s("/files/same.bin")
              << s("/files/") + QString(300, QLatin1Char('n')) << s("/files/");
    run(paths);  // the connection to the server stays open from here on
    const int before = openDescriptors();
    for (int round = 0; round < 2; ++round) {
        QTemporaryDir into;
        auto summary = run(paths, into.path());
        // The missing and cut-off ones; the copies of the 300-byte name cut to 255 bytes are
        // numbered within the limit too.
        EXPECT_EQ(summary.failedCount(), 12);
    }
    QDir(folder()).removeRecursively();
    run(paths);
    EXPECT_EQ(openDescriptors(), before);
}
