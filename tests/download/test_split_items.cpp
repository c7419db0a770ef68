// A big item split over idle connections: the stored file is byte-identical to the served one,
// the server never sees more connections than the run's number, a server whose ranges are not
// the same file gets the item over one connection instead, and a stop keeps only proven bytes
// for the next run.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include <signal.h>

#include "download/DownloadEngine.h"
#include "download/PartialRecords.h"
#include "download/TargetNaming.h"
#include "harness/LoopbackServer.h"
#include "harness/Timing.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

QString s(const char* text) { return QString::fromUtf8(text); }

constexpr std::size_t kSize = 24u << 20;

char byteAt(std::size_t i, int version) { return static_cast<char>((i * 31 + i / 4099 + std::size_t(version) * 7) & 0xff); }

struct SplitFixture : ::testing::Test {
    LoopbackServer http;
    QTemporaryDir dir, state;
    Download::Engine engine{Download::TransferLimits{2000, 10, 5, 3}};
    std::mutex lock;
    std::set<int> ports;
    int now = 0, most = 0;
    int rangeRequests = 0;
    // What a range request gets: the same file, or another version of it.
    std::atomic<int> rangeVersion{1};
    // The first range request is asked to wait this long (Retry-After, seconds); 0: never.
    std::atomic<int> busyOnce{0};
    // Every range request is asked to wait this long (Retry-After, seconds); 0: never.
    std::atomic<int> busyAlways{0};
    int busyAnswers = 0;
    // The first range request is answered all the same (the item's own, in a run that goes on).
    bool spareFirst = false, sparedFirst = false;
    Clock::time_point busyAt{};
    std::vector<Clock::time_point> rangesAt;
    std::vector<std::string> asked;  // each request's Range, "" for none
    int ledRanges = 0;               // range requests to the address that redirects
    // Once this many bytes are sent in all, the server holds every answer until it is -1 again.
    qint64 holdAfter = -1, sent = 0;
    std::condition_variable released;
    // A run that goes on past this is stopped, so that a loop shows as a cancelled item.
    std::function<bool()> runaway;

    SplitFixture() {
        qputenv("XDG_STATE_HOME", QFile::encodeName(state.path()));
        http.server().set_keep_alive_max_count(1000);
        // The same file behind a redirect.
        http.server().Get("/go/big.bin", [this](const httplib::Request& req, httplib::Response& res) {
            {
                std::lock_guard<std::mutex> hold(lock);
                ledRanges += req.has_header("Range") ? 1 : 0;
            }
            res.set_redirect(http.base() + "/big.bin");
        });
        http.server().Get("/big.bin", [this](const httplib::Request& req, httplib::Response& res) {
            const bool range = req.has_header("Range");
            {
                std::lock_guard<std::mutex> hold(lock);
                if (range && busyOnce > 0) {
                    res.status = 503;
                    res.set_header("Retry-After", std::to_string(busyOnce.exchange(0)));
                    busyAt = Clock::now();
                    return;
                }
                if (range && busyAlways > 0 && !(spareFirst && !sparedFirst)) {
                    res.status = 503;
                    res.set_header("Retry-After", std::to_string(busyAlways.load()));
                    ++busyAnswers;
                    return;
                }
                if (range && spareFirst) sparedFirst = true;
                if (range) rangesAt.push_back(Clock::now());
                asked.push_back(range ? req.get_header_value("Range") : std::string());
                ports.insert(req.remote_port);
                most = std::max(most, ++now);
                rangeRequests += range ? 1 : 0;
            }
            const int v = range ? rangeVersion.load() : 1;
            res.set_header("ETag", "\"v" + std::to_string(v) + "\"");
            res.set_header("Accept-Ranges", "bytes");
            // About 6 MB/s for each connection, as servers that limit each connection send.
            res.set_content_provider(
                kSize, "application/octet-stream",
                [this, v](size_t offset, size_t length, httplib::DataSink& sink) {
                    std::this_thread::sleep_for(10ms);
                    {
                        std::unique_lock<std::mutex> hold(lock);
                        released.wait(hold, [this] { return holdAfter < 0 || sent < holdAfter; });
                        sent += qint64(std::min<size_t>(length, 64 * 1024));
                    }
                    std::string chunk(std::min<size_t>(length, 64 * 1024), '\0');
                    for (std::size_t k = 0; k < chunk.size(); ++k) chunk[k] = byteAt(offset + k, v);
                    return sink.write(chunk.data(), chunk.size());
                },
                [this](bool) {
                    std::lock_guard<std::mutex> hold(lock);
                    --now;
                });
        });
        http.start();
    }
    ~SplitFixture() override {
        release();
        qunsetenv("XDG_STATE_HOME");
    }
    void release() {
        {
            std::lock_guard<std::mutex> hold(lock);
            holdAfter = -1;
        }
        released.notify_all();
    }

    // One run of the big file with `atOnce` connections; stopped once `stopAt` bytes are in.
    Download::ItemOutcome run(int atOnce, qint64 stopAt = 0, qint64 speedLimit = 0, const char* path = "/big.bin") {
        engine.beginRun();
        engine.setMaxTransfers(atOnce);
        engine.setSpeedLimit(speedLimit);
        const QString url = http.url(s(path));
        engine.enqueue(url, Main::BuildTargetPath(url, dir.path()));
        engine.endInput();
        struct Stopper : Download::Engine::Listener {
            Download::Engine* engine = nullptr;
            qint64 at = 0;
            const std::function<bool()>* runaway = nullptr;
            void onProgress() override {
                if (at > 0 && engine->figures().earliestReceived >= at) engine->cancel();
                if (*runaway && (*runaway)()) engine->cancel();
            }
        } stopper;
        stopper.engine = &engine;
        stopper.runaway = &runaway;
        stopper.at = stopAt;
        engine.runQueue(stopper);
        return engine.finishRun().at(0);
    }
    bool storedWhole(const QString& path, int version) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly) || f.size() != qint64(kSize)) return false;
        const QByteArray data = f.readAll();
        for (std::size_t k = 0; k < kSize; ++k)
            if (data[qsizetype(k)] != byteAt(k, version)) return false;
        return true;
    }
    QStringList entries() const { return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot); }
};

}  // namespace

TEST_F(SplitFixture, IdleConnectionsBringPiecesOfTheBigFileAndNoMoreConnectionsThanTheRunAllows) {
    const Download::ItemOutcome outcome = run(3);
    ASSERT_TRUE(outcome.stored) << outcome.reason.toStdString();
    EXPECT_TRUE(storedWhole(outcome.path, 1));
    EXPECT_EQ(entries(), QStringList{s("big.bin")});
    std::lock_guard<std::mutex> hold(lock);
    EXPECT_GE(rangeRequests, 2) << "the rest came in pieces";
    EXPECT_LE(most, 3);
    EXPECT_LE(ports.size(), 3u);
}

TEST_F(SplitFixture, RangesOfAnotherVersionAreNeverWrittenAndTheItemComesOverOneConnection) {
    rangeVersion = 2;
    const Download::ItemOutcome outcome = run(4);
    ASSERT_TRUE(outcome.stored) << outcome.reason.toStdString();
    EXPECT_TRUE(storedWhole(outcome.path, 1)) << "a mixed file was stored";
    std::lock_guard<std::mutex> hold(lock);
    EXPECT_GE(rangeRequests, 2);
}

TEST_F(SplitFixture, TurnedOffTheItemKeepsOneConnection) {
    engine.setSplitBigFiles(false);
    const Download::ItemOutcome outcome = run(4);
    ASSERT_TRUE(outcome.stored) << outcome.reason.toStdString();
    EXPECT_TRUE(storedWhole(outcome.path, 1));
    std::lock_guard<std::mutex> hold(lock);
    EXPECT_EQ(rangeRequests, 0);
    EXPECT_EQ(ports.size(), 1u);
}

TEST_F(SplitFixture, AStopInTheMiddleKeepsOnlyProvenBytesAndTheNextRunStoresTheWholeFile) {
    const Download::ItemOutcome stopped = run(3, 12 << 20);
    EXPECT_TRUE(stopped.cancelled) << stopped.reason.toStdString();
    EXPECT_FALSE(entries().contains(s("big.bin")));
    const Download::ItemOutcome next = run(3);
    ASSERT_TRUE(next.stored) << next.reason.toStdString();
    EXPECT_TRUE(storedWhole(next.path, 1));
    EXPECT_EQ(entries(), QStringList{s("big.bin")});
}

// "bytes=first-last" or "bytes=first-": [first, last + 1), or to the end.
Download::ByteRange askedRange(const std::string& header) {
    const auto dash = header.find('-');
    if (header.rfind("bytes=", 0) != 0 || dash == std::string::npos) return {-1, -1};
    const qint64 first = std::stoll(header.substr(6, dash - 6));
    const std::string last = header.substr(dash + 1);
    return {first, last.empty() ? qint64(kSize) : std::stoll(last) + 1};
}

// No request begins in a range on disk, and none but the item's own (which asks to the end and
// stops at the next range on disk) asks for any byte of one.
void expectOnlyMissingAsked(const std::vector<std::string>& asked, const Download::PartialRecord& record) {
    ASSERT_FALSE(asked.empty());
    for (const std::string& header : asked) {
        const Download::ByteRange r = askedRange(header);
        ASSERT_GE(r.first, 0) << "a request without a range: " << header;
        const bool toTheEnd = header.back() == '-';
        for (const auto& onDisk : record.ranges) {
            EXPECT_FALSE(r.first >= onDisk.first && r.first < onDisk.end) << header << " begins in bytes on disk";
            if (!toTheEnd) {
                EXPECT_FALSE(r.first < onDisk.end && onDisk.first < r.end) << header << " asks for bytes on disk";
            }
        }
    }
}

TEST_F(SplitFixture, AStoppedSplitItemKeepsEveryRangeOnDiskAndTheNextRunAsksOnlyForTheMissingOnes) {
    const Download::ItemOutcome stopped = run(3, 12 << 20);
    ASSERT_TRUE(stopped.cancelled) << stopped.reason.toStdString();
    const auto record = Download::PartialStore().find(dir.path(), http.url(s("/big.bin")));
    ASSERT_TRUE(record.has_value());
    ASSERT_GE(record->ranges.size(), 2u) << "the pieces beyond the first range were not kept";
    qint64 kept = 0;
    for (const auto& r : record->ranges) kept += r.size();
    EXPECT_EQ(stopped.bytes, kept);
    EXPECT_GE(kept, qint64(8) << 20);
    {
        std::lock_guard<std::mutex> hold(lock);
        asked.clear();
    }

    const Download::ItemOutcome next = run(3);
    ASSERT_TRUE(next.stored) << next.reason.toStdString();
    EXPECT_TRUE(storedWhole(next.path, 1));
    EXPECT_EQ(entries(), QStringList{s("big.bin")});
    std::lock_guard<std::mutex> hold(lock);
    expectOnlyMissingAsked(asked, *record);
    // The item's own request too asks only for what it brings, up to the next range on disk.
    for (const std::string& header : asked) EXPECT_NE(header.back(), '-') << header;
}

// Behind a redirect, the pieces of a resumed item go where the item's own request was led: the
// address that redirects would not give them (a piece follows no redirect).
TEST_F(SplitFixture, TheNextRunOfAnItemBehindARedirectAsksForItsPiecesWhereItWasLed) {
    const Download::ItemOutcome stopped = run(3, 12 << 20, 0, "/go/big.bin");
    ASSERT_TRUE(stopped.cancelled) << stopped.reason.toStdString();
    const auto record = Download::PartialStore().find(dir.path(), http.url(s("/go/big.bin")));
    ASSERT_TRUE(record.has_value());
    ASSERT_GE(record->ranges.size(), 2u);
    {
        std::lock_guard<std::mutex> hold(lock);
        asked.clear();
        ledRanges = 0;
    }
    const Download::ItemOutcome next = run(3, 0, 0, "/go/big.bin");
    ASSERT_TRUE(next.stored) << next.reason.toStdString();
    EXPECT_TRUE(storedWhole(next.path, 1));
    std::lock_guard<std::mutex> hold(lock);
    EXPECT_EQ(ledRanges, 1) << "pieces were asked of the address that redirects";
    expectOnlyMissingAsked(asked, *record);
    EXPECT_GE(asked.size(), 2u) << "the missing ranges came over one connection";
}

// Where the state folder is not given (or given as a relative path, which is not used), the
// record is kept in ~/.local/state all the same, and the next run asks for no range twice in a row.
TEST_F(SplitFixture, WithoutAnAbsoluteStateFolderTheNextRunStillAsksEachMissingRangeOnce) {
    for (const char* state : {static_cast<const char*>(nullptr), "relative/state"}) {
        QDir(dir.path()).removeRecursively();
        QDir().mkpath(dir.path());
        if (state) qputenv("XDG_STATE_HOME", state);
        else qunsetenv("XDG_STATE_HOME");
        const Download::ItemOutcome stopped = run(3, 12 << 20);
        ASSERT_TRUE(stopped.cancelled) << stopped.reason.toStdString();
        EXPECT_TRUE(Download::PartialStore(QDir::homePath() + s("/.local/state/Fetchwright"))
                        .find(dir.path(), http.url(s("/big.bin")))
                        .has_value());
        {
            std::lock_guard<std::mutex> hold(lock);
            asked.clear();
        }
        const Download::ItemOutcome next = run(3);
        ASSERT_TRUE(next.stored) << next.reason.toStdString();
        EXPECT_TRUE(storedWhole(next.path, 1));
        std::lock_guard<std::mutex> hold(lock);
        for (std::size_t k = 1; k < asked.size(); ++k) EXPECT_NE(asked[k], asked[k - 1]) << "asked twice in a row";
        EXPECT_FALSE(std::count(asked.begin(), asked.end(), std::string())) << "the whole file was asked for";
    }
}

TEST_F(SplitFixture, AKilledCopyKeepsTheRangesItRecordedAndTheNextRunAsksOnlyForTheOthers) {
    {
        std::lock_guard<std::mutex> hold(lock);
        holdAfter = 20 << 20;  // past the record brought up to date at 16 MB, never the whole file
    }
    const QString url = http.url(s("/big.bin"));
    QProcess copy;
    copy.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    copy.start(QStringLiteral(FETCHWRIGHT_ENGINE_COPY), {dir.path(), url});
    ASSERT_TRUE(copy.waitForStarted(10000));
    std::optional<Download::PartialRecord> record;
    for (int k = 0; k < Timing::boundMs(20000) / 10 && !(record && record->ranges.size() >= 2); ++k) {
        record = Download::PartialStore().find(dir.path(), url);
        if (!(record && record->ranges.size() >= 2)) std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(record && record->ranges.size() >= 2) << "no ranges were recorded";
    ::kill(static_cast<pid_t>(copy.processId()), SIGKILL);
    ASSERT_TRUE(copy.waitForFinished(10000));
    release();
    {
        std::lock_guard<std::mutex> hold(lock);
        asked.clear();
    }

    const Download::ItemOutcome next = run(3);
    ASSERT_TRUE(next.stored) << next.reason.toStdString();
    EXPECT_TRUE(storedWhole(next.path, 1));
    EXPECT_EQ(entries(), QStringList{s("big.bin")});
    // The copy may have recorded more before it died, never less: what it skips lies in these.
    std::lock_guard<std::mutex> hold(lock);
    expectOnlyMissingAsked(asked, *record);
}

TEST_F(SplitFixture, AServersPauseHoldsEveryPieceAndTheSpeedLimitCoversThemAll) {
    busyOnce = 1;
    const Download::ItemOutcome paused = run(3);
    ASSERT_TRUE(paused.stored) << paused.reason.toStdString();
    EXPECT_TRUE(storedWhole(paused.path, 1));
    {
        std::lock_guard<std::mutex> hold(lock);
        // The other piece begun with the refused one may arrive just after it; nothing else may
        // until the pause is over.
        const auto during = std::count_if(rangesAt.begin(), rangesAt.end(),
                                          [&](Clock::time_point t) { return t > busyAt && t - busyAt < 900ms; });
        EXPECT_LE(during, 1) << "a piece was asked while the server asked for a pause";
        EXPECT_GE(rangeRequests, 2) << "the pieces came after the pause";
        rangeRequests = 0;
    }
    QDir(dir.path()).removeRecursively();
    QDir().mkpath(dir.path());
    // The limit binds: three connections of about 6 MB/s each would bring the file in half the time.
    constexpr qint64 kRate = 8 << 20;
    QElapsedTimer clock;
    clock.start();
    const Download::ItemOutcome limited = run(3, 0, kRate);
    ASSERT_TRUE(limited.stored) << limited.reason.toStdString();
    EXPECT_TRUE(storedWhole(limited.path, 1));
    EXPECT_GE(clock.elapsed(), (qint64(kSize) - kRate / 8) * 1000 / kRate - 100);
    std::lock_guard<std::mutex> hold(lock);
    EXPECT_GE(rangeRequests, 2);
}

// A server that answers every range request with a pause: the item stops asking for pieces after
// two such answers and comes over its own connection, instead of asking again after each pause.
TEST_F(SplitFixture, ASplitItemWhoseServerIsAlwaysBusyFallsBackToItsOwnConnectionAndEnds) {
    busyAlways = 1;
    runaway = [this] {
        std::lock_guard<std::mutex> hold(lock);
        return busyAnswers > 12;
    };
    const Download::ItemOutcome outcome = run(3);
    EXPECT_FALSE(outcome.cancelled) << "the run went on asking for pieces of a busy server";
    ASSERT_TRUE(outcome.stored) << outcome.reason.toStdString();
    EXPECT_TRUE(storedWhole(outcome.path, 1));
    EXPECT_EQ(entries(), QStringList{s("big.bin")});
    std::lock_guard<std::mutex> hold(lock);
    EXPECT_GE(busyAnswers, 1) << "the item was never split";
    EXPECT_LE(busyAnswers, 3) << "pieces were asked for after two pauses";
}

// A resumed split item whose own piece is in before the pauses end: the rest is asked for again
// on the item's own connection, and when the server refuses that too the item fails with the
// server's answer as its reason instead of waiting for good.
TEST_F(SplitFixture, AResumedSplitItemOfABusyServerEndsStoredOrFailedWithTheReason) {
    const Download::ItemOutcome stopped = run(3, 12 << 20);
    ASSERT_TRUE(stopped.cancelled) << stopped.reason.toStdString();
    {
        std::lock_guard<std::mutex> hold(lock);
        spareFirst = true;
    }
    busyAlways = 1;
    runaway = [this] {
        std::lock_guard<std::mutex> hold(lock);
        return busyAnswers > 12;
    };
    const Download::ItemOutcome next = run(3);
    EXPECT_FALSE(next.cancelled) << "the run went on asking for pieces of a busy server";
    if (next.stored) {
        EXPECT_TRUE(storedWhole(next.path, 1));
    } else {
        EXPECT_TRUE(next.reason.contains(s("HTTP 503"))) << next.reason.toStdString();
    }
    std::lock_guard<std::mutex> hold(lock);
    EXPECT_LE(busyAnswers, 2 + 3) << "two pauses of pieces, then the item's own tries";
}

// A record of an earlier version (no ranges) still reads; one whose ranges the program cannot
// have written is refused whole, so that no byte of it is taken as on disk.
TEST(KeptRangesRecord, AnOlderRecordReadsAndAHostileOneIsRefused) {
    QTemporaryDir state, folder;
    Download::PartialStore store(state.path());
    Download::PartialRecord record;
    record.url = s("http://127.0.0.1:1/big.bin");
    record.folder = folder.path();
    record.partName = s("big.bin.part");
    record.validator = "\"v1\"";
    record.total = 100;
    record.goodLength = 10;
    ASSERT_TRUE(store.put(record));
    const QString file = state.filePath(s("partials/") + QDir(state.filePath(s("partials"))).entryList({s("*.rec")}).value(0));
    auto text = [&] {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    const QByteArray older = text();
    EXPECT_FALSE(older.contains("ranges")) << "a record of an item that came in order changed its form";
    auto found = store.find(folder.path(), record.url);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->goodLength, 10);
    EXPECT_TRUE(found->ranges.empty());

    record.ranges = {{0, 10}, {40, 60}, {90, 100}};
    ASSERT_TRUE(store.put(record));
    ASSERT_TRUE(text().endsWith("ranges 0-10,40-60,90-100\n"));
    found = store.find(folder.path(), record.url);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->ranges, record.ranges);

    QByteArray tooMany = "0-10";
    for (int k = 0; k <= int(Download::kMostKeptRanges); ++k) tooMany += ',' + QByteArray::number(11 + k) + '-' + QByteArray::number(12 + k);
    const std::vector<std::pair<QByteArray, const char*>> hostile = {
        {"ranges 0-10,40-60,50-70\n", "overlapping"},
        {"ranges 0-10,60-40\n", "backwards"},
        {"ranges 0-10,90-101\n", "beyond the total"},
        {"ranges 0-10,-5-3\n", "negative"},
        {"ranges 0-12,40-60\n", "a first range that is not the good length"},
        {"ranges 5-10,40-60\n", "a first range not at the beginning"},
        {"ranges \n", "empty"},
        {"ranges 0-10,4x-60\n", "not a number"},
        {"ranges 0-10\nranges 40-60\n", "twice"},
        {"ranges " + tooMany + '\n', "too many"},
    };
    for (const auto& [line, what] : hostile) {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(older + line);
        f.close();
        EXPECT_FALSE(store.find(folder.path(), record.url).has_value()) << what;
    }
}
