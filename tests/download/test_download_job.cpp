// A run as one job, without a window: what its signals carry, rows removed and added while it
// goes, its one result, and what a job destroyed mid-run leaves in the unfinished record.
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include "download/DownloadJob.h"
#include "download/UnfinishedWork.h"
#include "harness/FolderContents.h"
#include "harness/LoopbackServer.h"
#include "harness/Timing.h"

using namespace std::chrono_literals;
using Download::EntryId;

namespace {

QString s(const char* text) { return QString::fromUtf8(text); }

struct JobFixture : ::testing::Test {
    std::atomic<bool> released{false};
    std::atomic<int> stalled{0};
    LoopbackServer http;
    QTemporaryDir dir;
    Download::Engine engine{Download::TransferLimits{2000, 10, 5, 1}};
    std::optional<Download::JobResult> result;
    int results = 0;

    JobFixture() {
        http.server().Get("/files/(.*)", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(std::string(3000, 'x') + req.matches[1].str(), "application/octet-stream");
        });
        http.server().Get("/named/(.*)", [](const httplib::Request& req, httplib::Response& res) {
            res.set_header("Content-Disposition", "attachment; filename=\"given-" + req.matches[1].str() + "\"");
            res.set_content("named", "application/octet-stream");
        });
        // Holds its transfer, past its answer and first byte, until the test lets go.
        http.server().Get("/stall/(.*)", [this](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider("application/octet-stream", [this](size_t, httplib::DataSink& sink) {
                sink.write("s", 1);
                ++stalled;
                for (int k = 0; k < 500 && !released; ++k) std::this_thread::sleep_for(10ms);
                sink.write("late", 4);
                sink.done();
                return true;
            });
        });
        http.start();
    }
    ~JobFixture() override { released = true; }

    std::vector<Download::JobItem> items(std::initializer_list<const char*> paths, EntryId first = 1) {
        std::vector<Download::JobItem> list;
        for (const char* path : paths) list.push_back({first++, http.url(s(path))});
        return list;
    }
    std::unique_ptr<Download::DownloadJob> make(std::vector<Download::JobItem> list, int atOnce = 1,
                                               std::shared_ptr<Download::UnfinishedRunRecorder> recorder = {}) {
        Download::JobOptions options;
        options.atOnce = atOnce;
        auto job = std::make_unique<Download::DownloadJob>(engine, dir.path(), std::move(list), options, std::move(recorder));
        QObject::connect(job.get(), &Download::DownloadJob::result, [this](const Download::JobResult& r) {
            result = r;
            ++results;
        });
        return job;
    }
    bool waitForResult() { return QTest::qWaitFor([&] { return result.has_value(); }, Timing::boundMs(20000)); }
};

}  // namespace

TEST_F(JobFixture, SignalsCarryEachItemsEntryNameAndOutcomeAndOneResultEndsTheRun) {
    auto job = make(items({"/files/a.bin", "/named/b.bin", "/files/missing%20one.bin"}));
    std::vector<std::pair<EntryId, QString>> started, named;
    std::map<EntryId, Download::ItemOutcome> finished;
    QObject::connect(job.get(), &Download::DownloadJob::itemStarted, [&](EntryId e, const QString& n) { started.push_back({e, n}); });
    QObject::connect(job.get(), &Download::DownloadJob::itemNamed, [&](EntryId e, const QString& n) { named.push_back({e, n}); });
    QObject::connect(job.get(), &Download::DownloadJob::itemFinished,
                     [&](EntryId e, const Download::ItemOutcome& o) { finished.emplace(e, o); });
    job->start();
    ASSERT_TRUE(waitForResult());
    // Rows are told apart by their entries, and each is named as its address reads until its
    // answer names it.
    EXPECT_EQ(started, (std::vector<std::pair<EntryId, QString>>{{1, s("a.bin")}, {2, s("b.bin")}, {3, s("missing one.bin")}}));
    for (const auto& [entry, name] : named) EXPECT_TRUE(entry != 2 || name == s("given-b.bin")) << name.toStdString();
    ASSERT_EQ(finished.size(), 3u);
    EXPECT_TRUE(finished[1].stored);
    EXPECT_EQ(finished[2].path, dir.filePath(s("given-b.bin")));
    EXPECT_TRUE(finished[3].stored);
    EXPECT_EQ(result->summary.storedCount(), 3);
    EXPECT_FALSE(result->stopped);
    EXPECT_TRUE(result->notReached.empty());
    // Nothing more comes after the result.
    QTest::qWait(50);
    EXPECT_EQ(results, 1);
    EXPECT_FALSE(job->isRunning());
}

// The folder as the user typed it, not cleaned: its files are still in the folder the run began in.
TEST_F(JobFixture, AFolderTypedWithATrailingSlashOrADotIsNotTakenForOneMovedDuringTheRun) {
    for (const QString& folder : {dir.path() + s("/"), dir.path() + s("/./"), dir.path() + s("/../") + QDir(dir.path()).dirName()}) {
        result.reset();
        Download::DownloadJob job(engine, folder, items({"/files/a.bin", "/files/b.bin"}), Download::JobOptions{}, nullptr);
        QObject::connect(&job, &Download::DownloadJob::result, [this](const Download::JobResult& r) { result = r; });
        job.start();
        ASSERT_TRUE(waitForResult()) << folder.toStdString();
        EXPECT_EQ(result->summary.storedCount(), 2) << folder.toStdString();
        EXPECT_FALSE(result->summary.finalMessage().contains(s("moved"))) << result->summary.finalMessage().toStdString();
    }
}

TEST_F(JobFixture, RowsRemovedBeforeTheRunReachesThemAreLeftOutAndRowsAddedJoinItsEnd) {
    // One at a time, the first held: every later entry waits, queued or not yet handed out.
    auto job = make(items({"/stall/first.bin", "/files/b.bin", "/files/c.bin", "/files/d.bin"}));
    job->start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return stalled.load() > 0; }, Timing::boundMs(5000)));
    job->withdraw({3});
    job->append(items({"/files/e.bin"}, 10));
    job->withdraw({10});
    job->append(items({"/files/f.bin"}, 11));
    released = true;
    ASSERT_TRUE(waitForResult());
    EXPECT_EQ(entriesOf(dir.path()), (QStringList{s("b.bin"), s("d.bin"), s("f.bin"), s("first.bin")}));
    EXPECT_EQ(result->summary.storedCount(), 4);
    EXPECT_TRUE(result->summary.finalMessage().endsWith(s("2 entries were removed from the list before they were reached.")))
        << result->summary.finalMessage().toStdString();
}

TEST_F(JobFixture, StopEndsTheRunWithTheItemsNotReachedInListOrder) {
    auto job = make(items({"/files/a.bin", "/stall/b.bin", "/files/c.bin", "/files/d.bin"}));
    job->start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return stalled.load() > 0; }, Timing::boundMs(5000)));
    job->stop();
    EXPECT_TRUE(job->isStopping());
    // A row added once nothing begins any more is not reached either.
    job->append(items({"/files/e.bin"}, 9));
    ASSERT_TRUE(waitForResult());
    EXPECT_TRUE(result->stopped);
    EXPECT_EQ(result->notReached, (std::vector<EntryId>{2, 3, 4, 9}));
    EXPECT_EQ(result->summary.storedCount(), 1);
    EXPECT_TRUE(result->summary.finalMessage().startsWith(s("Stopped."))) << result->summary.finalMessage().toStdString();
    EXPECT_EQ(entriesOf(dir.path()), QStringList{s("a.bin")});
}

TEST_F(JobFixture, AJobDestroyedMidRunRecordsWhatItStoredBeforeTheRecorderGoes) {
    const QString state = dir.filePath(s("state"));
    const QString out = dir.filePath(s("out"));
    QDir().mkpath(out);
    {
        auto recorder = std::make_shared<Download::UnfinishedRunRecorder>(state);
        Download::JobOptions options;
        options.atOnce = 2;
        std::vector<Download::JobItem> list = items({"/files/a.bin", "/files/b.bin", "/stall/c.bin", "/files/d.bin"});
        Download::DownloadJob job(engine, out, std::move(list), options, recorder);
        job.start();
        // The small files are stored beside the held one, but their outcomes need not have
        // reached the job yet: its destruction must record them all the same.
        ASSERT_TRUE(QTest::qWaitFor([&] { return stalled.load() > 0 && entriesOf(out).size() >= 3; }, Timing::boundMs(5000)));
        recorder.reset();  // the job keeps it as long as it needs it
    }
    released = true;
    auto leftover = Download::UnfinishedRunRecord::FindLeftover(state);
    ASSERT_TRUE(leftover.has_value());
    EXPECT_EQ(leftover->run().entries, QStringList{http.url(s("/stall/c.bin"))});
    EXPECT_EQ(entriesOf(out), (QStringList{s("a.bin"), s("b.bin"), s("d.bin")}));
}
