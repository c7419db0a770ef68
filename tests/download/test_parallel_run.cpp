// Several transfers at once: names still follow the list, no server gets more connections than
// the run's number, a stalled or pausing server holds only its own items, a server's Retry-After
// holds every request to it, and a speed limit holds for the whole run.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "download/DownloadEngine.h"
#include "harness/FolderContents.h"
#include "harness/LoopbackServer.h"
#include "harness/ScriptedDialogs.h"
#include "harness/Timing.h"

using namespace std::chrono_literals;

namespace {

QString s(const char* text) { return QString::fromUtf8(text); }

using Clock = std::chrono::steady_clock;

// Which items ended in which order, and when.
struct Recorder : Download::Engine::Listener {
    std::mutex lock;
    std::vector<int> ended;
    std::map<int, Clock::time_point> endedAt;
    void onItemEnded(int index) override {
        std::lock_guard<std::mutex> hold(lock);
        ended.push_back(index);
        endedAt[index] = Clock::now();
    }
};

// Requests under way at once and connections seen, as a server counts them.
struct Concurrency {
    std::mutex lock;
    int now = 0;
    int most = 0;
    std::set<int> ports;
    std::vector<std::pair<std::string, Clock::time_point>> asked;  // path, when
    void enter(const httplib::Request& req) {
        std::lock_guard<std::mutex> hold(lock);
        most = std::max(most, ++now);
        ports.insert(req.remote_port);
        asked.emplace_back(req.path, Clock::now());
    }
    void leave() {
        std::lock_guard<std::mutex> hold(lock);
        --now;
    }
    Clock::time_point firstAsked(const std::string& path) {
        std::lock_guard<std::mutex> hold(lock);
        for (const auto& [p, at] : asked)
            if (p == path) return at;
        return {};
    }
    int timesAsked(const std::string& path) {
        std::lock_guard<std::mutex> hold(lock);
        return static_cast<int>(std::count_if(asked.begin(), asked.end(), [&](const auto& a) { return a.first == path; }));
    }
};

struct ParallelFixture : ::testing::Test {
    std::atomic<bool> released{false};
    LoopbackServer http;
    QTemporaryDir dir;
    ScriptedDialogs dialogs;
    Download::Engine engine{Download::TransferLimits{2000, 30, 5, 4, {50, 50, 50}}};

    ~ParallelFixture() override { released = true; }

    QString base(const QString& name) const { return dir.filePath(name); }
    // Runs the given addresses, each named after its last segment, with `atOnce` transfers.
    std::vector<Download::ItemOutcome> run(const QStringList& urls, int atOnce, Download::Engine::Listener& listener) {
        engine.beginRun();
        engine.setMaxTransfers(atOnce);
        for (const QString& url : urls) engine.enqueue(url, Main::BuildTargetPath(url, dir.path()));
        engine.endInput();
        engine.runQueue(listener);
        return engine.finishRun();
    }
    QByteArray contentOf(const QString& name) const {
        QFile f(base(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
    }
};

}  // namespace

TEST_F(ParallelFixture, NamesFollowTheListEvenWhenALaterItemFinishesFirst) {
    http.server().Get("/slow/(.*)", [](const httplib::Request& req, httplib::Response& res) {
        std::this_thread::sleep_for(400ms);
        res.set_content("slow " + req.matches[1].str(), "application/octet-stream");
    });
    http.server().Get("/fast/(.*)", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content("fast " + req.matches[1].str(), "application/octet-stream");
    });
    http.start();
    Recorder order;
    const auto outcomes = run({http.url(s("/slow/x.jpg")), http.url(s("/fast/x.jpg")), http.url(s("/fast/y.jpg"))}, 4, order);
    ASSERT_EQ(outcomes.size(), 3u);
    // The fast ones were done first, yet the first entry has the plain name.
    ASSERT_EQ(order.ended.size(), 3u);
    EXPECT_EQ(order.ended.back(), 0);
    EXPECT_EQ(contentOf(s("x.jpg")), "slow x.jpg");
    EXPECT_EQ(contentOf(s("x (1).jpg")), "fast x.jpg");
    EXPECT_EQ(outcomes[0].path, base(s("x.jpg")));
    EXPECT_EQ(outcomes[1].path, base(s("x (1).jpg")));
    EXPECT_EQ(entriesOf(dir.path()), (QStringList{s("x (1).jpg"), s("x.jpg"), s("y.jpg")}));
}

TEST_F(ParallelFixture, NoServerGetsMoreThanTheRunsNumberOfConnectionsAndOneAtATimeKeepsTheListsOrder) {
    Concurrency seen;
    // Connections are counted by the ports they come from, so the server keeps each one.
    http.server().set_keep_alive_max_count(1000);
    http.server().Get("/f/(.*)", [&](const httplib::Request& req, httplib::Response& res) {
        seen.enter(req);
        std::this_thread::sleep_for(30ms);
        res.set_content("f" + req.matches[1].str(), "application/octet-stream");
        seen.leave();
    });
    http.start();
    QStringList urls;
    for (int k = 0; k < 24; ++k) urls << http.url(s("/f/%1.bin").arg(k));
    Recorder quiet;
    auto outcomes = run(urls, 3, quiet);
    EXPECT_TRUE(std::all_of(outcomes.begin(), outcomes.end(), [](const auto& o) { return o.stored; }));
    EXPECT_EQ(seen.most, 3) << "three at once, and never more";
    EXPECT_LE(seen.ports.size(), 3u) << "connections are kept and never more than three";

    // One at a time: the server is asked in list order, never two at once.
    {
        std::lock_guard<std::mutex> hold(seen.lock);
        seen.most = 0;
        seen.asked.clear();
    }
    QDir(dir.path()).removeRecursively();
    QDir().mkpath(dir.path());
    outcomes = run(urls.mid(0, 8), 1, quiet);
    EXPECT_EQ(seen.most, 1);
    std::vector<std::string> paths;
    for (const auto& [path, at] : seen.asked) paths.push_back(path);
    std::vector<std::string> expected;
    for (int k = 0; k < 8; ++k) expected.push_back("/f/" + std::to_string(k) + ".bin");
    EXPECT_EQ(paths, expected);
}

TEST_F(ParallelFixture, AStalledAndAPausingServerHoldOnlyTheirOwnItemsAndAPauseHoldsTheWholeServer) {
    LoopbackServer stalled, pausing;
    Concurrency pausingSeen;
    stalled.server().Get("/stall.bin", [this](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("application/octet-stream", [this](size_t, httplib::DataSink& sink) {
            for (int k = 0; k < 300 && !released; ++k) std::this_thread::sleep_for(10ms);
            sink.write("late", 4);
            sink.done();
            return true;
        });
    });
    std::atomic<int> limitedCalls{0};
    pausing.server().Get("/limited.bin", [&](const httplib::Request& req, httplib::Response& res) {
        pausingSeen.enter(req);
        if (++limitedCalls == 1) {
            res.status = 429;
            res.set_header("Retry-After", "2");
        } else {
            res.set_content("let in", "application/octet-stream");
        }
        pausingSeen.leave();
    });
    pausing.server().Get("/other.bin", [&](const httplib::Request& req, httplib::Response& res) {
        pausingSeen.enter(req);
        res.set_content("other", "application/octet-stream");
        pausingSeen.leave();
    });
    http.server().Get("/ok/(.*)", [](const httplib::Request& req, httplib::Response& res) {
        std::this_thread::sleep_for(20ms);
        res.set_content("ok " + req.matches[1].str(), "application/octet-stream");
    });
    stalled.start();
    pausing.start();
    http.start();

    // The other item of the pausing server comes after the healthy ones, so it begins while the
    // pause is on.
    QStringList urls{stalled.url(s("/stall.bin")), pausing.url(s("/limited.bin"))};
    for (int k = 0; k < 10; ++k) urls << http.url(s("/ok/%1.txt").arg(k));
    urls << pausing.url(s("/other.bin"));
    Recorder order;
    const auto started = Clock::now();
    std::thread letGo([&] {
        // The stalled server answers once the healthy items have had ample time.
        std::this_thread::sleep_for(3s);
        released = true;
    });
    const auto outcomes = run(urls, 3, order);
    letGo.join();
    ASSERT_EQ(outcomes.size(), 13u);
    for (const auto& o : outcomes) EXPECT_TRUE(o.stored) << o.reason.toStdString();

    // Every healthy item ended before the paused and the stalled ones.
    ASSERT_EQ(order.ended.size(), 13u);
    const std::vector<int> firstTen(order.ended.begin(), order.ended.begin() + 10);
    for (int k = 2; k < 12; ++k) EXPECT_NE(std::find(firstTen.begin(), firstTen.end(), k), firstTen.end()) << k;
    // The pause the server asked for held its item's next try and every other request to it,
    // and it was not cut short.
    EXPECT_EQ(limitedCalls, 2);
    const auto secondTry = order.endedAt[1];
    EXPECT_GE(secondTry - started, 1900ms);
    EXPECT_GE(pausingSeen.firstAsked("/other.bin") - pausingSeen.firstAsked("/limited.bin"), 1900ms);
    EXPECT_EQ(pausingSeen.timesAsked("/other.bin"), 1);
    EXPECT_EQ(contentOf(s("limited.bin")), "let in");
    EXPECT_EQ(contentOf(s("stall.bin")), "late");
}

TEST_F(ParallelFixture, ARetryThatFallsDueInsideALaterPauseOfItsServerWaitsForThatPause) {
    // The first item is asked to come back in 1 s; a moment later the second is asked to wait
    // 3 s, which holds the whole server, the first item's retry included.
    std::mutex lock;
    std::map<std::string, std::vector<Clock::time_point>> asked;
    Clock::time_point longPauseSent{};
    http.server().Get("/(first|second).bin", [&](const httplib::Request& req, httplib::Response& res) {
        const std::string which = req.matches[1].str();
        int tries = 0;
        {
            std::lock_guard<std::mutex> hold(lock);
            asked[which].push_back(Clock::now());
            tries = static_cast<int>(asked[which].size());
        }
        if (tries > 1) {
            res.set_content(which, "application/octet-stream");
            return;
        }
        res.status = 429;
        if (which == "first") {
            res.set_header("Retry-After", "1");
            return;
        }
        std::this_thread::sleep_for(300ms);
        res.set_header("Retry-After", "3");
        std::lock_guard<std::mutex> hold(lock);
        longPauseSent = Clock::now();
    });
    http.start();
    Recorder quiet;
    const auto outcomes = run({http.url(s("/first.bin")), http.url(s("/second.bin"))}, 2, quiet);
    ASSERT_EQ(outcomes.size(), 2u);
    for (const auto& o : outcomes) EXPECT_TRUE(o.stored) << o.reason.toStdString();
    std::lock_guard<std::mutex> hold(lock);
    ASSERT_EQ(asked["first"].size(), 2u);
    ASSERT_EQ(asked["second"].size(), 2u);
    EXPECT_GE(asked["first"][1] - longPauseSent, 2950ms);
    EXPECT_GE(asked["second"][1] - longPauseSent, 2950ms);
    EXPECT_EQ(contentOf(s("first.bin")), "first");
}

TEST_F(ParallelFixture, AServerAskingForMoreThanTenMinutesFailsTheItemWithItsReason) {
    http.server().Get("/later.bin", [](const httplib::Request&, httplib::Response& res) {
        res.status = 503;
        res.set_header("Retry-After", "3600");
    });
    http.start();
    Recorder quiet;
    const auto outcomes = run({http.url(s("/later.bin"))}, 4, quiet);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_FALSE(outcomes[0].stored);
    EXPECT_EQ(outcomes[0].reason, s("HTTP 503 (the server asks to wait 60 min)"));
}

TEST_F(ParallelFixture, ASpeedLimitHoldsForTheWholeRunSharedByItsTransfers) {
    constexpr qint64 kLimit = 400 * 1024;  // bytes per second
    const std::string body(600 * 1024, 'z');
    http.server().Get("/big/(.*)", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(body, "application/octet-stream");
    });
    http.start();
    engine.setSpeedLimit(kLimit);
    // The run's bytes, sampled every 50 ms while it goes.
    std::vector<std::pair<Clock::time_point, qint64>> samples;
    std::atomic<bool> done{false};
    std::thread sampler([&] {
        while (!done) {
            samples.emplace_back(Clock::now(), engine.figures().bytesMoved);
            std::this_thread::sleep_for(50ms);
        }
    });
    Recorder quiet;
    const auto started = Clock::now();
    const auto outcomes = run({http.url(s("/big/a.bin")), http.url(s("/big/b.bin")), http.url(s("/big/c.bin"))}, 3, quiet);
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    done = true;
    sampler.join();
    for (const auto& o : outcomes) ASSERT_TRUE(o.stored) << o.reason.toStdString();
    const double total = 3.0 * double(body.size());
    // Within a tenth of the limit over the run (about 4.5 s); a slow machine may only be slower.
    EXPECT_GE(seconds, total / kLimit * 0.9);
    EXPECT_LE(seconds, total / kLimit * 1.1 * Timing::kSlowdown);
    // No second far above it.
    for (std::size_t a = 0; a < samples.size(); ++a) {
        for (std::size_t b = a + 1; b < samples.size(); ++b) {
            if (samples[b].first - samples[a].first < 1000ms) continue;
            const double window = std::chrono::duration<double>(samples[b].first - samples[a].first).count();
            EXPECT_LE(double(samples[b].second - samples[a].second) / window, 1.5 * kLimit) << "from sample " << a;
            break;
        }
    }
    for (const char* name : {"a.bin", "b.bin", "c.bin"}) EXPECT_EQ(contentOf(s(name)).size(), qsizetype(body.size()));
}
