// "Skip unchanged": a re-run asks only whether each file it stored before changed; a 304 skips
// the item without a body, a changed file comes under the next free name, nothing is replaced.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>

#include "download/DownloadJob.h"
#include "harness/FolderContents.h"
#include "harness/JobRun.h"
#include "harness/LoopbackServer.h"

using namespace Download;

namespace {
QString s(const char* text) { return QString::fromUtf8(text); }

struct UnchangedRun : ::testing::Test {
    LoopbackServer http;
    QTemporaryDir dir;
    QTemporaryDir state;
    Engine engine{TransferLimits{2000, 5, 5, 1}};
    std::mutex lock;
    std::map<std::string, int> versions;  // by file; 1 when not set
    std::atomic<int> requests{0}, conditional{0}, notModified{0};
    std::atomic<qint64> bodyBytes{0};

    UnchangedRun() {
        qputenv("XDG_STATE_HOME", QFile::encodeName(state.path()));
        http.server().Get(R"(/u/([^/]+))", [this](const httplib::Request& req, httplib::Response& res) {
            ++requests;
            const std::string name = req.matches[1].str();
            int version = 1;
            {
                std::lock_guard<std::mutex> hold(lock);
                if (versions.count(name)) version = versions[name];
            }
            const std::string etag = "\"" + name + "-v" + std::to_string(version) + "\"";
            res.set_header("ETag", etag);
            res.set_header("Last-Modified", "Wed, 21 Oct 2015 07:28:00 GMT");
            if (req.has_header("If-None-Match")) {
                ++conditional;
                if (req.get_header_value("If-None-Match") == etag) {
                    ++notModified;
                    res.status = 304;
                    return;
                }
            }
            const std::string body = name + " version " + std::to_string(version) + std::string(1000, '.');
            bodyBytes += qint64(body.size());
            res.set_content(body, "application/octet-stream");
        });
        http.start();
    }
    ~UnchangedRun() override { qunsetenv("XDG_STATE_HOME"); }

    JobResult run(const QStringList& names) {
        QStringList entries;
        for (const QString& name : names) entries << http.url(s("/u/") + name);
        JobOptions options;
        options.atOnce = 4;
        options.skipUnchanged = true;
        requests = conditional = notModified = 0;
        bodyBytes = 0;
        return RunJobToEnd(engine, entries, dir.path(), options);
    }
};
}  // namespace

TEST_F(UnchangedRun, ASecondRunOfUnchangedFilesSendsOnlyConditionalRequestsAndStoresNothing) {
    QStringList names;
    for (int i = 0; i < 2000; ++i) names << QStringLiteral("f%1.bin").arg(i);
    QElapsedTimer clock;
    clock.start();
    const JobResult first = run(names);
    const qint64 firstMs = clock.restart();
    ASSERT_EQ(first.summary.storedCount(), 2000);
    EXPECT_EQ(conditional.load(), 0);
    const qint64 firstBytes = bodyBytes;
    const QStringList stored = entriesOf(dir.path());
    ASSERT_EQ(stored.size(), 2000);

    const JobResult second = run(names);
    const qint64 secondMs = clock.elapsed();
    EXPECT_EQ(second.summary.storedCount(), 0);
    EXPECT_EQ(second.summary.skippedCount(), 2000);
    EXPECT_EQ(second.summary.failedCount(), 0);
    EXPECT_EQ(requests.load(), 2000);
    EXPECT_EQ(conditional.load(), 2000);
    EXPECT_EQ(notModified.load(), 2000);
    EXPECT_EQ(bodyBytes.load(), 0);
    EXPECT_EQ(entriesOf(dir.path()), stored);
    std::printf("[ figures ] first run: 2000 requests, %lld body bytes, %lld ms; second run: %d requests (%d conditional, %d "
                "answered 304), %lld body bytes, %d stored, %lld ms\n",
                static_cast<long long>(firstBytes), static_cast<long long>(firstMs), requests.load(), conditional.load(),
                notModified.load(), static_cast<long long>(bodyBytes.load()), second.summary.storedCount(),
                static_cast<long long>(secondMs));
}

TEST_F(UnchangedRun, ARenamedFileIsFollowedAChangedOneComesUnderANewNameAndARemovedOneAgain) {
    ASSERT_EQ(run({s("a.bin"), s("b.bin"), s("c.bin")}).summary.storedCount(), 3);
    ASSERT_TRUE(QFile::rename(dir.filePath(s("a.bin")), dir.filePath(s("renamed.bin"))));
    {
        std::lock_guard<std::mutex> hold(lock);
        versions["b.bin"] = 2;
    }
    const QByteArray oldB = contentOf(dir.filePath(s("b.bin")));
    ASSERT_TRUE(QFile::remove(dir.filePath(s("c.bin"))));
    const JobResult second = run({s("a.bin"), s("b.bin"), s("c.bin")});
    EXPECT_EQ(second.summary.skippedCount(), 1);
    EXPECT_EQ(second.summary.storedCount(), 2);
    EXPECT_EQ(conditional.load(), 2);  // c.bin is gone: asked for whole
    EXPECT_EQ(notModified.load(), 1);
    EXPECT_EQ(entriesOf(dir.path()), (QStringList{s("b (1).bin"), s("b.bin"), s("c.bin"), s("renamed.bin")}));
    EXPECT_EQ(contentOf(dir.filePath(s("b.bin"))), oldB);
    EXPECT_TRUE(contentOf(dir.filePath(s("b (1).bin"))).startsWith("b.bin version 2"));

    // The record follows what was stored last: everything is unchanged now.
    const JobResult third = run({s("a.bin"), s("b.bin"), s("c.bin")});
    EXPECT_EQ(third.summary.skippedCount(), 3);
    EXPECT_EQ(notModified.load(), 3);
    EXPECT_EQ(entriesOf(dir.path()).size(), 4);

    // A file replaced by the user (another one under the name) is not taken for the stored one.
    QFile::remove(dir.filePath(s("c.bin")));
    {
        QFile mine(dir.filePath(s("c.bin")));
        ASSERT_TRUE(mine.open(QIODevice::WriteOnly));
        mine.write("the user's own");
    }
    const JobResult fourth = run({s("c.bin")});
    EXPECT_EQ(conditional.load(), 0);
    EXPECT_EQ(fourth.summary.storedCount(), 1);
    EXPECT_EQ(contentOf(dir.filePath(s("c.bin"))), QByteArray("the user's own"));
    EXPECT_TRUE(QFile::exists(dir.filePath(s("c (1).bin"))));
}
