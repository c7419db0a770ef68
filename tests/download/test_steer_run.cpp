// Steering a run while it goes, through the job with a loopback server: a pause frees its
// connection and a resume asks only for the rest, a removal leaves nothing, a retry goes again in
// its place, commands on items that just ended change nothing, and the closing counts and the
// unfinished record hold what was added, paused and removed.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "download/DownloadJob.h"
#include "download/PartialRecords.h"
#include "download/UnfinishedWork.h"
#include "harness/FolderContents.h"
#include "harness/LoopbackServer.h"
#include "harness/SteerRoutes.h"
#include "harness/Timing.h"

using namespace std::chrono_literals;
using Download::EntryId;

namespace {

QString s(const char* text) { return QString::fromUtf8(text); }

constexpr std::size_t kBig = 12u << 20;   // kept as a part from 8 MB on
constexpr std::size_t kHoldAt = 9u << 20;  // where the big file waits until let go

char byteAt(std::size_t i) { return static_cast<char>((i * 131 + i / 7919) & 0xff); }

struct SteerFixture : ::testing::Test, SteerRoutes {
    std::atomic<std::size_t> bigServed{0};
    std::atomic<int> busyAsked{0};
    std::mutex lock;
    std::vector<std::string> bigRanges;  // the Range header of each request of a big file
    LoopbackServer http;
    QTemporaryDir dir;
    QTemporaryDir state;
    Download::Engine engine{Download::TransferLimits{2000, 10, 5, 1}};
    std::optional<Download::JobResult> result;
    std::map<EntryId, Download::ItemOutcome> finished;
    std::map<EntryId, qint64> held;
    std::vector<EntryId> queued;

    SteerFixture() {
        qputenv("XDG_STATE_HOME", QFile::encodeName(state.path()));
        engine.setSplitBigFiles(false);
        // 503 until healed: tried again.
        http.server().Get("/busy/(.*)", [this](const httplib::Request& req, httplib::Response& res) {
            ++busyAsked;
            if (!healed) {
                res.status = 503;
                return;
            }
            res.set_content("served " + req.matches[1].str(), "application/octet-stream");
        });
        // 12 MB that offers ranges; it holds at 9 MB until let go.
        http.server().Get("/big/(.*)", [this](const httplib::Request& req, httplib::Response& res) {
            {
                std::lock_guard<std::mutex> hold(lock);
                bigRanges.push_back(req.get_header_value("Range"));
            }
            res.set_header("ETag", "\"big\"");
            res.set_header("Accept-Ranges", "bytes");
            res.set_content_provider(kBig, "application/octet-stream", [this](size_t offset, size_t length, httplib::DataSink& sink) {
                if (offset >= kHoldAt)
                    for (int k = 0; k < 2000 && !released && sink.is_writable(); ++k) std::this_thread::sleep_for(5ms);
                std::string chunk(std::min<size_t>(length, 256 * 1024), '\0');
                for (std::size_t k = 0; k < chunk.size(); ++k) chunk[k] = byteAt(offset + k);
                bigServed = std::max<std::size_t>(bigServed, offset + chunk.size());
                return sink.write(chunk.data(), chunk.size());
            });
        });
        addTo(http.server());
        http.start();
    }
    ~SteerFixture() override { released = true; }

    std::vector<Download::JobItem> items(std::initializer_list<const char*> paths, EntryId first = 1) {
        std::vector<Download::JobItem> list;
        for (const char* path : paths) list.push_back({first++, http.url(s(path))});
        return list;
    }
    std::unique_ptr<Download::DownloadJob> make(std::vector<Download::JobItem> list, int atOnce = 1,
                                               std::shared_ptr<Download::UnfinishedRunRecorder> recorder = {},
                                               Download::Engine* on = nullptr) {
        Download::JobOptions options;
        options.atOnce = atOnce;
        auto job = std::make_unique<Download::DownloadJob>(on ? *on : engine, dir.path(), std::move(list), options, std::move(recorder));
        QObject::connect(job.get(), &Download::DownloadJob::result, [this](const Download::JobResult& r) { result = r; });
        QObject::connect(job.get(), &Download::DownloadJob::itemFinished,
                         [this](EntryId e, const Download::ItemOutcome& o) { finished[e] = o; });
        QObject::connect(job.get(), &Download::DownloadJob::itemHeld, [this](EntryId e, qint64 kept) { held[e] = kept; });
        QObject::connect(job.get(), &Download::DownloadJob::itemQueued, [this](EntryId e) { queued.push_back(e); });
        return job;
    }
    bool waitForResult() { return QTest::qWaitFor([&] { return result.has_value(); }, Timing::boundMs(30000)); }
    bool waitFor(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, Timing::boundMs(10000)); }
    bool bigIsWhole(const QString& path) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly) || file.size() != qint64(kBig)) return false;
        const QByteArray bytes = file.readAll();
        for (std::size_t i = 0; i < kBig; ++i)
            if (bytes[qsizetype(i)] != byteAt(i)) return false;
        return true;
    }
};

}  // namespace

TEST_F(SteerFixture, APauseFreesItsConnectionForTheNextItemAndAResumeAsksOnlyForTheRest) {
    auto job = make(items({"/big/a.bin", "/files/b.bin"}));
    std::vector<std::pair<EntryId, QString>> begun;
    QObject::connect(job.get(), &Download::DownloadJob::itemStarted, [&](EntryId e, const QString& name) { begun.push_back({e, name}); });
    job->start();
    ASSERT_TRUE(waitFor([&] { return bigServed.load() >= kHoldAt; }));
    job->pause({1});
    // The only connection goes to the next waiting item while the paused one keeps its bytes.
    ASSERT_TRUE(waitFor([&] { return finished.count(2) > 0; }));
    EXPECT_TRUE(finished[2].stored);
    ASSERT_EQ(held.count(1), 1u);
    EXPECT_GT(held[1], 0);
    EXPECT_TRUE(finished[1].paused);
    released = true;
    job->resume(items({"/big/a.bin"}));
    ASSERT_TRUE(waitForResult());
    EXPECT_EQ(queued, std::vector<EntryId>{1});
    ASSERT_TRUE(finished[1].stored) << finished[1].reason.toStdString();
    EXPECT_TRUE(bigIsWhole(dir.filePath(s("a.bin"))));
    {
        std::lock_guard<std::mutex> hold(lock);
        ASSERT_EQ(bigRanges.size(), 2u);
        EXPECT_EQ(bigRanges[0], "");
        EXPECT_EQ(bigRanges[1], "bytes=" + std::to_string(held[1]) + "-");
    }
    EXPECT_EQ(entriesOf(dir.path()), (QStringList{s("a.bin"), s("b.bin")}));
    EXPECT_EQ(result->summary.storedCount(), 2);
    EXPECT_EQ(result->summary.heldCount(), 0);
    // Its row shows its name again when it begins again.
    EXPECT_EQ(begun, (std::vector<std::pair<EntryId, QString>>{{1, s("a.bin")}, {2, s("b.bin")}, {1, s("a.bin")}}));
}

TEST_F(SteerFixture, ARemovedTransferLeavesNeitherFileNorPartNorRecordAndIsCountedApart) {
    auto job = make(items({"/big/c.bin", "/files/d.bin", "/files/e.bin"}));
    job->start();
    ASSERT_TRUE(waitFor([&] { return bigServed.load() >= kHoldAt; }));
    // Its bytes are on their way to a part by now; removing it takes them too.
    job->withdraw({1, 3});
    ASSERT_TRUE(waitForResult());
    EXPECT_TRUE(finished[1].cancelled);
    EXPECT_EQ(entriesOf(dir.path()), QStringList{s("d.bin")});
    EXPECT_FALSE(Download::PartialStore(Download::StateFolder()).find(dir.path(), http.url(s("/big/c.bin"))).has_value());
    const QString message = result->summary.finalMessage();
    EXPECT_TRUE(message.contains(s("1 entry was removed from the list before it was reached."))) << message.toStdString();
    EXPECT_TRUE(message.contains(s("1 removed during the run."))) << message.toStdString();
    EXPECT_EQ(result->summary.storedCount(), 1);
    EXPECT_TRUE(result->notReached.empty());
}

TEST_F(SteerFixture, ARetriedItemGoesAgainInItsPlaceAndCommandsOnEndedItemsChangeNothing) {
    auto job = make(items({"/flaky/x.bin", "/stall/s.bin", "/files/y.bin", "/files/z.bin"}));
    job->start();
    ASSERT_TRUE(waitFor([&] { return finished.count(1) > 0 && stalled.load() > 0; }));
    EXPECT_FALSE(finished[1].stored);
    healed = true;
    // Tried again, it waits before the entries after the one under way.
    job->retry(items({"/flaky/x.bin"}));
    // A stored, a failed-and-requeued and an unknown entry: none of these does anything.
    job->pause({99});
    job->retry(items({"/flaky/x.bin"}));
    released = true;
    ASSERT_TRUE(waitForResult());
    ASSERT_TRUE(finished[1].stored) << finished[1].reason.toStdString();
    EXPECT_EQ(queued, std::vector<EntryId>{1});
    EXPECT_EQ(result->summary.storedCount(), 4);
    EXPECT_EQ(result->summary.failedCount(), 0);
    // The counts hold each item once, the retried one by its last outcome.
    EXPECT_EQ(result->summary.items(), 4);
    QFile x(dir.filePath(s("x.bin")));
    ASSERT_TRUE(x.open(QIODevice::ReadOnly));
    EXPECT_EQ(x.readAll(), QByteArray("healed x.bin"));
}

TEST_F(SteerFixture, ItemsPausedBeforeTheyBeginAreHeldOutKeepTheRunOpenAndAreCountedAsPaused) {
    auto job = make(items({"/stall/s.bin", "/files/a.bin", "/files/b.bin", "/files/c.bin"}));
    job->start();
    ASSERT_TRUE(waitFor([&] { return stalled.load() > 0; }));
    // 2 is handed to the engine already, 3 waits in the job: both stay out.
    job->pause({2, 3});
    EXPECT_EQ(held.size(), 2u);
    released = true;
    ASSERT_TRUE(waitFor([&] { return finished.count(1) > 0 && finished.count(4) > 0; }));
    EXPECT_EQ(entriesOf(dir.path()), (QStringList{s("c.bin"), s("s.bin")}));
    // What is held may still be resumed: the run goes on until it is stopped.
    EXPECT_TRUE(job->isRunning());
    job->stop();
    ASSERT_TRUE(waitForResult());
    EXPECT_EQ(result->summary.heldCount(), 2);
    EXPECT_TRUE(result->summary.finalMessage().contains(s("2 downloads are paused by you; Resume (Space) continues them.")))
        << result->summary.finalMessage().toStdString();
    EXPECT_EQ(result->summary.storedCount() + result->summary.heldCount(), 4);
}

TEST_F(SteerFixture, EntriesAddedDuringTheRunAreNamedInListOrderAfterAFileAlreadyThere) {
    QFile existing(dir.filePath(s("n.bin")));
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.write("mine");
    existing.close();
    // One at a time: neither added row can begin, and be named, before both are there.
    auto job = make(items({"/stall/s.bin"}), 1);
    job->start();
    ASSERT_TRUE(waitFor([&] { return stalled.load() > 0; }));
    std::vector<Download::JobItem> later = items({"/files/n.bin"}, 5);
    std::vector<Download::JobItem> earlier = items({"/files/n.bin"}, 4);
    // Added in two steps, the later row first: names follow the rows, not the order of adding.
    job->append(std::move(later));
    job->append(std::move(earlier));
    released = true;
    ASSERT_TRUE(waitForResult());
    EXPECT_EQ(finished[4].path, dir.filePath(s("n (1).bin")));
    EXPECT_EQ(finished[5].path, dir.filePath(s("n (2).bin")));
    QFile mine(dir.filePath(s("n.bin")));
    ASSERT_TRUE(mine.open(QIODevice::ReadOnly));
    EXPECT_EQ(mine.readAll(), QByteArray("mine"));
}

TEST_F(SteerFixture, AJobDestroyedMidRunRecordsTheAddedAndPausedEntriesButNotTheRemovedOnes) {
    const QString recordFolder = dir.filePath(s("state"));
    {
        auto recorder = std::make_shared<Download::UnfinishedRunRecorder>(recordFolder);
        auto job = make(items({"/stall/s.bin", "/files/a.bin", "/files/b.bin"}), 1, recorder);
        job->start();
        ASSERT_TRUE(waitFor([&] { return stalled.load() > 0; }));
        job->pause({2});
        job->withdraw({3});
        job->append(items({"/files/added.bin"}, 7));
        recorder.reset();
        job.reset();  // the window closing
    }
    released = true;
    auto leftover = Download::UnfinishedRunRecord::FindLeftover(recordFolder);
    ASSERT_TRUE(leftover.has_value());
    EXPECT_EQ(leftover->run().entries,
              (QStringList{http.url(s("/stall/s.bin")), http.url(s("/files/a.bin")), http.url(s("/files/added.bin"))}));
}

TEST_F(SteerFixture, RowsMovedWhileTheyWaitBeginInTheirNewOrder) {
    auto job = make(items({"/stall/s.bin", "/files/a.bin", "/files/b.bin", "/files/c.bin"}));
    std::vector<QString> begun;
    QObject::connect(job.get(), &Download::DownloadJob::itemStarted, [&](EntryId, const QString& name) { begun.push_back(name); });
    job->start();
    ASSERT_TRUE(waitFor([&] { return stalled.load() > 0; }));
    // c moved up two rows: the list hands the three rows' ids out again in rising order.
    job->renumber({{4, 2}, {2, 3}, {3, 4}});
    released = true;
    ASSERT_TRUE(waitForResult());
    EXPECT_EQ(begun, (std::vector<QString>{s("s.bin"), s("c.bin"), s("a.bin"), s("b.bin")}));
    EXPECT_EQ(finished[2].path, dir.filePath(s("c.bin")));
    EXPECT_EQ(result->summary.storedCount(), 4);
}

TEST_F(SteerFixture, RetryNowSendsAnItemWaitingForItsNextTryAtOnce) {
    // Its next try would come a minute later.
    Download::Engine patient{Download::TransferLimits{2000, 10, 5, 4, {60000}}};
    auto job = make(items({"/busy/w.bin"}), 1, {}, &patient);
    bool waitingShown = false;
    QObject::connect(job.get(), &Download::DownloadJob::progress, [&](const Download::JobFigures& f) {
        for (const Download::ItemFigures& item : f.run.items) waitingShown = waitingShown || item.retryAtMs > 0;
    });
    job->start();
    // As the row shows it: "retry in 0:59".
    ASSERT_TRUE(waitFor([&] { return waitingShown; }));
    healed = true;
    job->retry(items({"/busy/w.bin"}));
    ASSERT_TRUE(waitForResult());
    ASSERT_TRUE(finished[1].stored) << finished[1].reason.toStdString();
    EXPECT_EQ(busyAsked.load(), 2);
    // Tried again in place, not queued anew.
    EXPECT_TRUE(queued.empty());
}
