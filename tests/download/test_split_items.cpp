// A big item split over idle connections: the stored file is byte-identical to the served one,
// the server never sees more connections than the run's number, a server whose ranges are not
// the same file gets the item over one connection instead, and a stop keeps only proven bytes
// for the next run.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "download/DownloadEngine.h"
#include "download/TargetNaming.h"
#include "harness/LoopbackServer.h"

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
    Clock::time_point busyAt{};
    std::vector<Clock::time_point> rangesAt;

    SplitFixture() {
        qputenv("XDG_STATE_HOME", QFile::encodeName(state.path()));
        http.server().set_keep_alive_max_count(1000);
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
                if (range) rangesAt.push_back(Clock::now());
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
                [v](size_t offset, size_t length, httplib::DataSink& sink) {
                    std::this_thread::sleep_for(10ms);
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
    ~SplitFixture() override { qunsetenv("XDG_STATE_HOME"); }

    // One run of the big file with `atOnce` connections; stopped once `stopAt` bytes are in.
    Download::ItemOutcome run(int atOnce, qint64 stopAt = 0, qint64 speedLimit = 0) {
        engine.beginRun();
        engine.setMaxTransfers(atOnce);
        engine.setSpeedLimit(speedLimit);
        const QString url = http.url(s("/big.bin"));
        engine.enqueue(url, Main::BuildTargetPath(url, dir.path()));
        engine.endInput();
        struct Stopper : Download::Engine::Listener {
            Download::Engine* engine = nullptr;
            qint64 at = 0;
            void onProgress() override {
                if (at > 0 && engine->figures().earliestReceived >= at) engine->cancel();
            }
        } stopper;
        stopper.engine = &engine;
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
