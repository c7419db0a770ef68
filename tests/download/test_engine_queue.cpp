// The engine fed through its queue from another thread, as the window feeds it: order, names
// chosen as each item begins, items taken back before they begin, the end of the input, a
// cancel while the queue waits, and a folder that changes under a run.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "download/DownloadEngine.h"
#include "download/DownloadJob.h"
#include "harness/Descriptors.h"
#include "harness/FolderContents.h"
#include "harness/LoopbackServer.h"
#include "harness/Timing.h"

using namespace std::chrono_literals;

namespace {

QString s(const char* text) { return QString::fromUtf8(text); }

struct QueueFixture : ::testing::Test {
    std::atomic<bool> released{false};
    std::mutex askedLock;
    QStringList asked;  // the paths the server was asked for, in order
    LoopbackServer http;
    QTemporaryDir dir;
    Download::Engine engine{Download::TransferLimits{2000, 1, 5, 1}};

    QueueFixture() {
        engine.setMaxTransfers(1);
        auto note = [this](const httplib::Request& req) {
            std::lock_guard<std::mutex> hold(askedLock);
            asked << QString::fromStdString(req.path);
        };
        http.server().Get("/files/(.*)", [note](const httplib::Request& req, httplib::Response& res) {
            note(req);
            res.set_content("body of " + req.matches[1].str(), "application/octet-stream");
        });
        http.server().Get("/gone/(.*)", [note](const httplib::Request& req, httplib::Response& res) {
            note(req);
            res.status = 404;
        });
        http.server().Get("/stall/(.*)", [this, note](const httplib::Request& req, httplib::Response& res) {
            note(req);
            res.set_chunked_content_provider("application/octet-stream", [this](size_t, httplib::DataSink& sink) {
                for (int k = 0; k < 250 && !released; ++k) std::this_thread::sleep_for(20ms);
                sink.write("late", 4);
                sink.done();
                return true;
            });
        });
        http.start();
    }
    ~QueueFixture() override { released = true; }

    QString base(const char* name) const { return dir.filePath(s(name)); }
    int enqueue(const char* path, const char* name) { return engine.enqueue(http.url(s(path)), base(name)); }
    QStringList serverAsked() {
        std::lock_guard<std::mutex> hold(askedLock);
        return asked;
    }
};

// Waits up to `ms` for `done`.
template <class F>
bool waitFor(F done, int ms) {
    for (int k = 0; k < ms / 5 && !done(); ++k) std::this_thread::sleep_for(5ms);
    return done();
}

}  // namespace

TEST_F(QueueFixture, ItemsQueuedWhileTheRunWorksAreFetchedInOrderAndNamedAsTheyBegin) {
    engine.beginRun();
    std::atomic<int> wanted{0};
    std::thread fetcher([&] { engine.runQueue([&] { ++wanted; }); });
    // The first "pic.jpg" is not found: the second one, queued before the first began, still
    // gets the plain name, since names are chosen only as an item begins.
    const int gone = enqueue("/gone/pic.jpg", "pic.jpg");
    const int first = enqueue("/files/pic.jpg", "pic.jpg");
    const int second = enqueue("/files/pic.jpg", "pic.jpg");
    ASSERT_TRUE(waitFor([&] { return wanted > 0; }, Timing::boundMs(2000)));
    // More come in after the queue asked for them.
    const int later = enqueue("/files/later.txt", "later.txt");
    engine.endInput();
    fetcher.join();
    const auto outcomes = engine.finishRun();
    ASSERT_EQ(outcomes.size(), 4u);
    EXPECT_EQ((std::vector<int>{gone, first, second, later}), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_FALSE(outcomes[0].stored);
    EXPECT_EQ(outcomes[0].reason, s("HTTP 404"));
    EXPECT_EQ(outcomes[1].path, base("pic.jpg"));
    EXPECT_EQ(outcomes[2].path, base("pic (1).jpg"));
    EXPECT_TRUE(outcomes[3].stored);
    EXPECT_EQ(serverAsked(), (QStringList{s("/gone/pic.jpg"), s("/files/pic.jpg"), s("/files/pic.jpg"), s("/files/later.txt")}));
    EXPECT_EQ(entriesOf(dir.path()), (QStringList{s("later.txt"), s("pic (1).jpg"), s("pic.jpg")}));
    EXPECT_EQ(contentOf(base("later.txt")), QByteArray("body of later.txt"));
}

TEST_F(QueueFixture, ItemsTakenBackBeforeTheyBeginAreNeverAskedForAndTheRestGoesOn) {
    engine.beginRun();
    std::thread fetcher([&] { engine.runQueue(nullptr); });
    enqueue("/stall/slow.bin", "slow.bin");
    ASSERT_TRUE(waitFor([&] { return engine.currentItem() == 0; }, Timing::boundMs(2000)));
    const int a = enqueue("/files/a.txt", "a.txt");
    const int b = enqueue("/files/b.txt", "b.txt");
    EXPECT_EQ(engine.queued(), 2);
    EXPECT_EQ(engine.withdrawQueued(), (std::vector<int>{a, b}));
    EXPECT_EQ(engine.queued(), 0);
    EXPECT_TRUE(engine.withdrawQueued().empty());
    // Handed again, as the window does after a change to the list.
    const int again = enqueue("/files/b.txt", "b.txt");
    engine.endInput();
    released = true;
    fetcher.join();
    const auto outcomes = engine.finishRun();
    ASSERT_EQ(outcomes.size(), 4u);
    EXPECT_TRUE(outcomes[0].stored) << outcomes[0].reason.toStdString();
    EXPECT_FALSE(outcomes[a].stored);
    EXPECT_EQ(outcomes[a].reason, s("Withdrawn"));
    EXPECT_FALSE(outcomes[b].stored);
    EXPECT_TRUE(outcomes[again].stored);
    EXPECT_EQ(serverAsked(), (QStringList{s("/stall/slow.bin"), s("/files/b.txt")}));
    EXPECT_EQ(entriesOf(dir.path()), (QStringList{s("b.txt"), s("slow.bin")}));
}

TEST_F(QueueFixture, ACancelEndsAQueueThatWaitsForItemsOrIsMidTransferAndLeavesTheQueuedOnesQueued) {
    // Waiting for input that never comes.
    engine.beginRun();
    std::thread idle([&] { engine.runQueue(nullptr); });
    std::this_thread::sleep_for(30ms);
    engine.cancel();
    idle.join();
    EXPECT_TRUE(engine.finishRun().empty());

    // In the middle of a transfer, with more queued behind it.
    engine.beginRun();
    std::thread busy([&] { engine.runQueue(nullptr); });
    enqueue("/stall/slow.bin", "slow.bin");
    enqueue("/files/a.txt", "a.txt");
    ASSERT_TRUE(waitFor([&] { return engine.currentItem() == 0; }, Timing::boundMs(2000)));
    engine.cancel();
    busy.join();
    EXPECT_EQ(engine.currentItem(), -1);
    EXPECT_EQ(engine.withdrawQueued(), std::vector<int>{1});
    const auto outcomes = engine.finishRun();
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_TRUE(outcomes[0].cancelled);
    EXPECT_TRUE(entriesOf(dir.path()).isEmpty());

    // The next run starts afresh.
    engine.beginRun();
    std::thread next([&] { engine.runQueue(nullptr); });
    enqueue("/files/a.txt", "a.txt");
    engine.endInput();
    next.join();
    ASSERT_EQ(engine.finishRun().size(), 1u);
    EXPECT_EQ(entriesOf(dir.path()), QStringList{s("a.txt")});
}

TEST_F(QueueFixture, HundredsOfFilesShareFlushesAndAreAllStoredWholeWithNoDescriptorLeft) {
    // A first item opens the connection that stays from run to run.
    engine.beginRun();
    engine.enqueue(http.url(s("/files/warm.txt")), base("warm.txt"));
    engine.endInput();
    engine.runQueue(nullptr);
    engine.finishRun();
    QFile::remove(base("warm.txt"));
    const int before = openDescriptors();
    engine.beginRun();
    std::thread fetcher([&] { engine.runQueue(nullptr); });
    const int count = 600;  // more than one batch of the finisher
    for (int k = 0; k < count; ++k) {
        const QByteArray name = "f" + QByteArray::number(k) + ".bin";
        engine.enqueue(http.url(s("/files/") + QString::fromLatin1(name)), dir.filePath(QString::fromLatin1(name)));
    }
    engine.endInput();
    fetcher.join();
    const auto outcomes = engine.finishRun();
    ASSERT_EQ(outcomes.size(), std::size_t(count));
    for (int k = 0; k < count; ++k) {
        const QString name = s("f%1.bin").arg(k);
        ASSERT_TRUE(outcomes[k].stored) << k << " " << outcomes[k].reason.toStdString();
        ASSERT_EQ(outcomes[k].path, dir.filePath(name));
        ASSERT_EQ(contentOf(dir.filePath(name)), "body of " + name.toLatin1());
    }
    EXPECT_EQ(entriesOf(dir.path()).size(), count);
    EXPECT_EQ(openDescriptors(), before);
}

TEST(EngineFolder, ARunGoesOnIntoItsFolderWhereverItIsMovedAndSaysWhere) {
    std::atomic<bool> open{false};
    LoopbackServer http;
    http.server().Get("/files/(.*)", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content("body of " + req.matches[1].str(), "application/octet-stream");
    });
    // Answers once the test has moved the folder.
    http.server().Get("/gate/(.*)", [&](const httplib::Request& req, httplib::Response& res) {
        for (int k = 0; k < 1000 && !open; ++k) std::this_thread::sleep_for(5ms);
        res.set_content("body of " + req.matches[1].str(), "application/octet-stream");
    });
    http.start();
    QTemporaryDir root;
    const QString out = root.filePath(s("out"));
    const QString elsewhere = root.filePath(s("elsewhere"));
    ASSERT_TRUE(QDir().mkpath(out));
    ASSERT_TRUE(QDir().mkpath(elsewhere));
    Download::Engine engine{Download::TransferLimits{2000, 10, 5, 1}};
    Download::JobOptions one;
    one.atOnce = 1;
    std::vector<Download::JobItem> items{{1, http.url(s("/files/1.txt"))}, {2, http.url(s("/gate/2.txt"))}, {3, http.url(s("/files/3.txt"))}};
    Download::DownloadJob job(engine, out, std::move(items), one, nullptr);
    std::optional<Download::JobResult> result;
    QObject::connect(&job, &Download::DownloadJob::result, [&](const Download::JobResult& r) { result = r; });
    job.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(out + s("/1.txt")); }, Timing::boundMs(5000)));
    // Renamed away, and a link to another folder put at its path: the run stays with its folder.
    ASSERT_TRUE(QDir(root.path()).rename(s("out"), s("moved")));
    ASSERT_TRUE(QFile::link(elsewhere, out));
    open = true;
    ASSERT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, Timing::boundMs(10000)));
    EXPECT_EQ(result->summary.storedCount(), 3) << result->summary.finalMessage().toStdString();
    EXPECT_EQ(entriesOf(root.filePath(s("moved"))), (QStringList{s("1.txt"), s("2.txt"), s("3.txt")}));
    EXPECT_TRUE(entriesOf(elsewhere).isEmpty());
    EXPECT_EQ(result->summary.stored().back().second, root.filePath(s("moved/3.txt")));
    EXPECT_TRUE(result->summary.finalMessage().endsWith(
        s("The folder was moved during the run; its files are now in %1.").arg(root.filePath(s("moved")))))
        << result->summary.finalMessage().toStdString();

    // A folder removed during a run takes no more files, and none is stored anywhere else.
    ASSERT_TRUE(QFile::remove(out));
    ASSERT_TRUE(QDir().mkpath(out));
    open = false;
    std::vector<Download::JobItem> more{{1, http.url(s("/files/a.txt"))}, {2, http.url(s("/gate/b.txt"))}, {3, http.url(s("/files/c.txt"))}};
    Download::DownloadJob next(engine, out, std::move(more), one, nullptr);
    result.reset();
    QObject::connect(&next, &Download::DownloadJob::result, [&](const Download::JobResult& r) { result = r; });
    next.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(out + s("/a.txt")); }, Timing::boundMs(5000)));
    ASSERT_TRUE(QDir(out).removeRecursively());
    open = true;
    ASSERT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, Timing::boundMs(10000)));
    EXPECT_EQ(result->summary.storedCount(), 1);
    ASSERT_EQ(result->summary.failedCount(), 2);
    EXPECT_EQ(result->summary.failures()[1].second, s("Folder not found"));
    EXPECT_FALSE(QFileInfo::exists(out));
    EXPECT_EQ(entriesOf(root.path()), (QStringList{s("elsewhere"), s("moved")}));
}

TEST_F(QueueFixture, EveryItemNotTakenBackHasItsOutcomeToldOnceBeforeTheRunEnds) {
    // Told from whichever thread settles the item: the loop (failed, skipped) or the publisher
    // (stored); withdrawn items are never told.
    struct Outcomes : Download::Engine::Listener {
        std::mutex lock;
        std::map<int, std::vector<Download::ItemOutcome>> told;
        void onItemOutcome(int index, const Download::ItemOutcome& outcome) override {
            std::lock_guard<std::mutex> hold(lock);
            told[index].push_back(outcome);
        }
    } listener;
    engine.setMaxTransfers(4);
    engine.beginRun();
    for (int k = 0; k < 40; ++k) engine.enqueue(http.url(s("/files/%1.bin").arg(k)), dir.filePath(s("x")));
    engine.enqueue(http.url(s("/gone/missing.bin")), dir.filePath(s("x")));
    const int withdrawn = engine.enqueue(http.url(s("/files/late.bin")), dir.filePath(s("x")));
    ASSERT_EQ(engine.withdrawQueued().size(), 42u);
    for (int k = 40; k < 80; ++k) engine.enqueue(http.url(s("/files/%1.bin").arg(k)), dir.filePath(s("x")));
    engine.enqueue(http.url(s("/gone/missing.bin")), dir.filePath(s("x")));
    engine.endInput();
    engine.runQueue(listener);
    const auto outcomes = engine.finishRun();
    std::lock_guard<std::mutex> hold(listener.lock);
    ASSERT_EQ(listener.told.size(), 41u);
    EXPECT_EQ(listener.told.count(withdrawn), 0u);
    for (const auto& [index, told] : listener.told) {
        ASSERT_EQ(told.size(), 1u) << index;
        EXPECT_EQ(told[0].stored, outcomes[std::size_t(index)].stored) << index;
        EXPECT_EQ(told[0].path, outcomes[std::size_t(index)].path) << index;
    }
    EXPECT_FALSE(listener.told.rbegin()->second[0].stored);
    EXPECT_EQ(listener.told.rbegin()->second[0].reason, s("HTTP 404"));
}
