// A big item cut short keeps its bytes under "name.part" and the next run goes on from there:
// asking for the rest with Range and If-Range, appending only the very rest of the very file,
// else starting over, and always storing one whole answer of the server.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "download/DownloadEngine.h"
#include "download/PartialRecords.h"
#include "harness/CutRun.h"
#include "harness/FolderContents.h"
#include "harness/LoopbackServer.h"
#include "harness/Timing.h"

using namespace std::chrono_literals;

namespace {

QString s(const char* text) { return QString::fromUtf8(text); }

constexpr std::size_t kSize = 64u << 20;
constexpr std::size_t kPartSize = 12u << 20;

// Byte i of version v of the file.
char byteAt(std::size_t i, int version) { return static_cast<char>((i * 31 + i / 4099 + std::size_t(version) * 7) & 0xff); }

struct PartialFixture : ::testing::Test {
    LoopbackServer http;
    QTemporaryDir dir;
    QTemporaryDir state;
    Download::Engine engine{Download::TransferLimits{2000, 5, 5, 1}};
    std::atomic<bool> slow{true};
    std::atomic<int> version{1};
    std::atomic<bool> honourRanges{true};
    std::mutex lock;
    std::vector<std::string> ranges;  // the Range header of each request, "" for none

    PartialFixture() {
        qputenv("XDG_STATE_HOME", QFile::encodeName(state.path()));
        // The requests of one connection are counted here; pieces over idle ones are tested apart.
        engine.setSplitBigFiles(false);
        // 12 MB: kept as a part from 8 MB on.
        http.server().Get("/p.bin", [this](const httplib::Request&, httplib::Response& res) {
            res.set_header("ETag", "\"p\"");
            res.set_header("Accept-Ranges", "bytes");
            res.set_content_provider(kPartSize, "application/octet-stream", [this](size_t offset, size_t length, httplib::DataSink& sink) {
                if (slow) std::this_thread::sleep_for(5ms);
                std::string chunk(std::min<size_t>(length, 256 * 1024), '\0');
                for (std::size_t k = 0; k < chunk.size(); ++k) chunk[k] = byteAt(offset + k, 1);
                sink.write(chunk.data(), chunk.size());
                return true;
            });
        });
        http.server().Get("/big.bin", [this](const httplib::Request& req, httplib::Response& res) {
            {
                std::lock_guard<std::mutex> hold(lock);
                ranges.push_back(req.get_header_value("Range"));
            }
            const int v = version;
            res.set_header("ETag", "\"v" + std::to_string(v) + "\"");
            res.set_header("Last-Modified", "Wed, 21 Oct 2015 07:28:00 GMT");
            res.set_header("Accept-Ranges", "bytes");
            auto body = [this, v](size_t offset, size_t length, httplib::DataSink& sink) {
                if (slow) std::this_thread::sleep_for(5ms);
                std::string chunk(std::min<size_t>(length, 256 * 1024), '\0');
                for (std::size_t k = 0; k < chunk.size(); ++k) chunk[k] = byteAt(offset + k, v);
                sink.write(chunk.data(), chunk.size());
                return true;
            };
            if (honourRanges) {
                // The server answers a Range request with 206 and Content-Range itself.
                res.set_content_provider(kSize, "application/octet-stream", body);
            } else {
                // Ranges not offered: the whole file, as it comes.
                res.set_chunked_content_provider("application/octet-stream", [body](size_t offset, httplib::DataSink& sink) {
                    if (offset >= kSize) {
                        sink.done();
                        return true;
                    }
                    return body(offset, std::min<size_t>(256 * 1024, kSize - offset), sink);
                });
            }
        });
        http.start();
    }
    ~PartialFixture() override {
        slow = false;
        qunsetenv("XDG_STATE_HOME");
    }

    // One run of the big file; cancelled once `stopAt` bytes have come (0: never).
    Download::ItemOutcome run(qint64 stopAt, const char* path = "/big.bin") {
        const QString url = http.url(s(path));
        return RunOneCutAt(engine, url, Main::BuildTargetPath(url, dir.path()), stopAt);
    }
    bool storedWhole(int v) {
        QFile f(dir.filePath(s("big.bin")));
        if (!f.open(QIODevice::ReadOnly) || f.size() != qint64(kSize)) return false;
        const QByteArray data = f.readAll();
        for (std::size_t i = 0; i < kSize; ++i)
            if (data[qsizetype(i)] != byteAt(i, v)) return false;
        return true;
    }
    std::vector<std::string> asked() {
        std::lock_guard<std::mutex> hold(lock);
        return ranges;
    }
};

}  // namespace

TEST_F(PartialFixture, AStoppedBigItemKeepsItsBytesAndTheNextRunAsksOnlyForTheRest) {
    engine.setRequests(std::make_shared<Download::RequestOptions>());
    const qint64 stopAt = qint64(kSize) * 4 / 10;
    const Download::ItemOutcome stopped = run(stopAt);
    EXPECT_TRUE(stopped.cancelled);
    // Kept under a name that says what it is, never under the final name; the outcome says how
    // much of how much is kept.
    ASSERT_EQ(entriesOf(dir.path()), QStringList{s("big.bin.part")});
    EXPECT_GE(QFileInfo(dir.filePath(s("big.bin.part"))).size(), stopAt);
    EXPECT_TRUE(stopped.paused);
    EXPECT_EQ(stopped.bytes, QFileInfo(dir.filePath(s("big.bin.part"))).size());
    EXPECT_EQ(stopped.size, qint64(kSize));
    EXPECT_EQ(Download::PartialStore().keptBytes(dir.path(), {http.url(s("/big.bin")), s("http://other.example/")}), stopped.bytes);
    EXPECT_EQ(Download::PartialStore().keptBytes(dir.path() + s("/elsewhere"), {http.url(s("/big.bin"))}), 0);

    slow = false;
    const Download::ItemOutcome done = run(0);
    ASSERT_TRUE(done.stored) << done.reason.toStdString();
    const auto requests = asked();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], "");
    ASSERT_EQ(requests[1].rfind("bytes=", 0), 0u) << requests[1];
    EXPECT_GE(std::stoll(requests[1].substr(6)), stopAt);
    EXPECT_EQ(entriesOf(dir.path()), QStringList{s("big.bin")});
    EXPECT_TRUE(storedWhole(1));
    // The part continued gets the server's time as a whole file does.
    EXPECT_EQ(QFileInfo(dir.filePath(s("big.bin"))).lastModified().toSecsSinceEpoch(), 1445412480);
}

TEST_F(PartialFixture, AChangedFileOrAServerIgnoringTheRangeStartsOverAndIsNeverDoubled) {
    ASSERT_TRUE(run(qint64(kSize) / 3).cancelled);
    ASSERT_EQ(entriesOf(dir.path()), QStringList{s("big.bin.part")});
    // The file changed on the server: its part is not appended, the new version is fetched whole.
    version = 2;
    slow = false;
    ASSERT_TRUE(run(0).stored);
    EXPECT_EQ(entriesOf(dir.path()), QStringList{s("big.bin")});
    EXPECT_TRUE(storedWhole(2));

    // A server that answers a Range request with the whole file: stored once, not doubled.
    QFile::remove(dir.filePath(s("big.bin")));
    slow = true;
    ASSERT_TRUE(run(qint64(kSize) / 3).cancelled);
    honourRanges = false;
    slow = false;
    ASSERT_TRUE(run(0).stored);
    EXPECT_EQ(entriesOf(dir.path()), QStringList{s("big.bin")});
    EXPECT_TRUE(storedWhole(2));
}

TEST_F(PartialFixture, AFailedBigItemLeavesNothing) {
    // The server goes away mid-body and never comes back: no partial, no record.
    ASSERT_TRUE(run(qint64(kSize) / 4).cancelled);
    slow = false;
    http.stop();
    const Download::ItemOutcome failed = run(0);
    EXPECT_FALSE(failed.stored);
    EXPECT_FALSE(failed.cancelled);
    EXPECT_FALSE(failed.paused);
    EXPECT_TRUE(entriesOf(dir.path()).isEmpty()) << entriesOf(dir.path()).join(s(", ")).toStdString();
    Download::PartialStore store;
    EXPECT_FALSE(store.find(dir.path(), http.url(s("/big.bin"))).has_value());
}

TEST_F(PartialFixture, AKilledProcessLeavesItsFlushedBytesAndTheNextRunGoesOnFromThem) {
    // A copy of the engine in a process of its own, killed while the big item comes in.
    QProcess copy;
    copy.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    copy.start(QStringLiteral(FETCHWRIGHT_ENGINE_COPY), {s("--unsplit"), dir.path(), http.url(s("/big.bin"))});
    ASSERT_TRUE(copy.waitForStarted(10000));
    const QString part = dir.filePath(s("big.bin.part"));
    // Killed once a flush past the first 8 MB is recorded (flushes are recorded off the
    // transfer's way, so a busy disk may record one late) and the part has grown beyond it.
    Download::PartialStore store;
    qint64 recorded = 0;
    bool seen = false;
    for (int k = 0; k < Timing::boundMs(20000) / 10 && !seen; ++k) {
        if (const auto record = store.find(dir.path(), http.url(s("/big.bin")))) recorded = record->goodLength;
        seen = recorded >= (qint64(8) << 20) && QFileInfo(part).size() > recorded + (1 << 20);
        if (!seen) std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(seen) << "no flush past 8 MB was recorded; the last said " << recorded;
    ::kill(static_cast<pid_t>(copy.processId()), SIGKILL);
    ASSERT_TRUE(copy.waitForFinished(10000));
    ASSERT_EQ(entriesOf(dir.path()), QStringList{s("big.bin.part")});

    slow = false;
    const Download::ItemOutcome done = run(0);
    ASSERT_TRUE(done.stored) << done.reason.toStdString();
    const auto requests = asked();
    ASSERT_EQ(requests.size(), 2u);
    // From a byte known to be on disk: at least what was recorded before the kill, never past
    // what the part held.
    ASSERT_EQ(requests[1].rfind("bytes=", 0), 0u) << requests[1];
    EXPECT_GE(std::stoll(requests[1].substr(6)), recorded);
    EXPECT_EQ(entriesOf(dir.path()), QStringList{s("big.bin")});
    EXPECT_TRUE(storedWhole(1));
}

TEST_F(PartialFixture, AKillAroundTheMomentAPartIsKeptNeverLeavesAPartWithoutItsRecord) {
    const QString url = http.url(s("/p.bin"));
    for (int round = 0; round < 4; ++round) {
        slow = true;
        QProcess copy;
        copy.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        copy.start(QStringLiteral(FETCHWRIGHT_ENGINE_COPY), {dir.path(), url});
        ASSERT_TRUE(copy.waitForStarted(10000));
        // Killed 0 to 30 ms after the part shows, or when it never does, as the copy ends.
        const QString part = dir.filePath(s("p.bin.part"));
        for (int k = 0; k < Timing::boundMs(20000) && !QFileInfo::exists(part) && copy.state() == QProcess::Running; ++k)
            std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(std::chrono::milliseconds(10 * round));
        ::kill(static_cast<pid_t>(copy.processId()), SIGKILL);
        ASSERT_TRUE(copy.waitForFinished(10000));
        // A part that is there has its record.
        const QStringList left = entriesOf(dir.path());
        for (const QString& name : left) {
            if (!name.endsWith(s(".part"))) continue;
            const auto record = Download::PartialStore().find(dir.path(), url);
            ASSERT_TRUE(record.has_value()) << "round " << round << ": " << name.toStdString() << " without a record";
            EXPECT_EQ(record->partName, name);
        }
        // The next run stores the file whole and leaves nothing else behind.
        slow = false;
        const Download::ItemOutcome done = run(0, "/p.bin");
        ASSERT_TRUE(done.stored) << done.reason.toStdString();
        ASSERT_EQ(entriesOf(dir.path()), QStringList{s("p.bin")}) << "round " << round;
        ASSERT_TRUE(QFile::remove(dir.filePath(s("p.bin"))));
    }
}

TEST_F(PartialFixture, APartThatCannotBeRecordedIsNotKept) {
    // A plain file where the state folder belongs.
    QTemporaryDir broken;
    QFile blocker(broken.filePath(s("Fetchwright")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    qputenv("XDG_STATE_HOME", QFile::encodeName(broken.path()));
    Download::Engine fresh{Download::TransferLimits{2000, 5, 5, 1}};
    fresh.beginRun();
    fresh.enqueue(http.url(s("/big.bin")), Main::BuildTargetPath(http.url(s("/big.bin")), dir.path()));
    fresh.endInput();
    std::thread stopper([&] {
        while (fresh.figures().earliestReceived < qint64(kSize) / 3 && !fresh.isCancelled()) std::this_thread::sleep_for(2ms);
        fresh.cancel();
    });
    fresh.runQueue(std::function<void()>{});
    stopper.join();
    const Download::ItemOutcome stopped = fresh.finishRun().at(0);
    EXPECT_TRUE(stopped.cancelled);
    EXPECT_FALSE(stopped.paused) << "nothing kept: not paused";
    EXPECT_TRUE(entriesOf(dir.path()).isEmpty()) << entriesOf(dir.path()).join(s(", ")).toStdString();
}

TEST_F(PartialFixture, APartOfOursThatNoRecordClaimsGoesAtTheNextRunAndAUsersOwnStays) {
    Download::PartialRecord orphan;
    orphan.url = http.url(s("/gone.iso"));
    orphan.folder = dir.path();
    orphan.partName = s("gone.iso.part");
    Fw::UniqueFd made = Download::CreatePartialLocked(orphan);
    ASSERT_TRUE(made.valid());
    ASSERT_EQ(::write(made.get(), "left", 4), 4);
    made.reset();
    QFile mine(dir.filePath(s("mine.part")));
    ASSERT_TRUE(mine.open(QIODevice::WriteOnly));
    mine.write("the user's own");
    mine.close();

    slow = false;
    ASSERT_TRUE(run(0).stored);
    EXPECT_EQ(entriesOf(dir.path()), (QStringList{s("big.bin"), s("mine.part")}));
}

TEST_F(PartialFixture, APartWhoseRecordNoLongerMatchesIsStartedOverAndRemoved) {
    ASSERT_TRUE(run(qint64(kSize) / 3).cancelled);
    ASSERT_EQ(entriesOf(dir.path()), QStringList{s("big.bin.part")});
    // As after its file system was mounted again: the same file of ours, another inode.
    Download::PartialStore store;
    auto record = store.find(dir.path(), http.url(s("/big.bin")));
    ASSERT_TRUE(record.has_value());
    record->inode += 1;
    ASSERT_TRUE(store.put(*record));

    slow = false;
    ASSERT_TRUE(run(0).stored);
    const auto requests = asked();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1], "") << "never appended to";
    EXPECT_EQ(entriesOf(dir.path()), QStringList{s("big.bin")});
    EXPECT_TRUE(storedWhole(1));
}

TEST_F(PartialFixture, AForgedRecordNeverMakesAUsersFileOurs) {
    // The user's own file under the name a partial of the address would have, and a record
    // written by hand for it: its inode, no birth time, no mark.
    const QString path = dir.filePath(s("big.bin.part"));
    QFile mine(path);
    ASSERT_TRUE(mine.open(QIODevice::WriteOnly));
    mine.write("the user's own data");
    mine.close();
    struct stat st;
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    Download::PartialRecord forged;
    forged.url = http.url(s("/big.bin"));
    forged.folder = dir.path();
    forged.partName = s("big.bin.part");
    forged.validator = "\"v1\"";
    forged.total = qint64(kSize);
    forged.goodLength = 8;
    forged.device = quint64(st.st_dev);
    forged.inode = quint64(st.st_ino);
    ASSERT_TRUE(Download::PartialStore().put(forged));

    slow = false;
    ASSERT_TRUE(run(0).stored);
    const auto requests = asked();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], "") << "nothing asked to append to it";
    EXPECT_TRUE(storedWhole(1));
    // Neither appended to, cut nor removed.
    ASSERT_TRUE(mine.open(QIODevice::ReadOnly));
    EXPECT_EQ(mine.readAll(), QByteArray("the user's own data"));
}

// A run looks a record up by its key in one listing of the records: the key of an address into a
// folder, however the folder's path is written, must be the one its record is stored under.
TEST(PartialRecordKeys, TheListingNamesEachRecordByTheKeyItsFolderAndAddressGive) {
    QTemporaryDir state, dir;
    qputenv("XDG_STATE_HOME", QFile::encodeName(state.path()));
    Download::PartialStore store;
    EXPECT_TRUE(store.recordKeys().isEmpty()) << "no records folder yet";
    const QString link = state.filePath(s("link"));
    ASSERT_TRUE(QFile::link(dir.path(), link));
    Download::PartialRecord record;
    record.url = s("http://example.test/big.bin");
    record.folder = link + s("/.");  // through a link, not in its plainest form
    record.partName = s("big.bin.part");
    ASSERT_TRUE(store.put(record));

    const QSet<QByteArray> keys = store.recordKeys();
    ASSERT_EQ(keys.size(), 1);
    const QByteArray key = Download::PartialRecordKey(Download::PartialRecordFolder(dir.path()), record.url);
    EXPECT_EQ(key.size(), 40);
    EXPECT_TRUE(keys.contains(key));
    EXPECT_TRUE(keys.contains(Download::PartialRecordKey(Download::PartialRecordFolder(link), record.url)));
    EXPECT_FALSE(keys.contains(Download::PartialRecordKey(Download::PartialRecordFolder(dir.path()), s("http://example.test/other"))));
    EXPECT_FALSE(keys.contains(Download::PartialRecordKey(Download::PartialRecordFolder(state.path()), record.url)));

    store.remove(dir.path(), record.url);
    EXPECT_TRUE(store.recordKeys().isEmpty());
}
