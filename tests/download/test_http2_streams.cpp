// Many transfers of one host on one HTTP/2 connection: the run's number still counts
// connections, a host heard to speak HTTP/2 takes more of its items at once, and names follow
// the list. The server is a private nginx over TLS with a test authority made for the test.
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <curl/curl.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <set>

#include "BenchNet.h"
#include "download/DownloadEngine.h"
#include "download/HostConnections.h"
#include "download/TargetNaming.h"
#include "harness/LoopbackServer.h"

namespace {

QString s(const char* text) { return QString::fromUtf8(text); }

TEST(HostConnections, CountsAConnectionPerItemOverHttp1AndOneForAllStreamsOverHttp2) {
    Download::HostConnections hosts;
    hosts.setConnections(2);
    const QString h1 = s("old.example:80"), h2 = s("new.example:443");
    // Not heard from yet: each item may need a connection of its own.
    hosts.began(h2);
    hosts.began(h1);
    EXPECT_FALSE(hosts.mayBegin(h2));
    EXPECT_EQ(hosts.connectionsTaken(), 2);
    hosts.answered(h1, CURL_HTTP_VERSION_1_1);
    hosts.answered(h2, CURL_HTTP_VERSION_2_0);
    EXPECT_FALSE(hosts.mayBegin(h1)) << "an HTTP/1.1 item needs a connection, and both are taken";
    for (int k = 1; k < Download::HostConnections::kStreamsPerConnection; ++k) {
        ASSERT_TRUE(hosts.mayBegin(h2)) << "stream " << k;
        hosts.began(h2);
    }
    EXPECT_FALSE(hosts.mayBegin(h2)) << "no more streams than one connection carries";
    EXPECT_EQ(hosts.connectionsTaken(), 2);
    hosts.ended(h1);
    EXPECT_TRUE(hosts.mayBegin(h1));
    // A host that answers over HTTP/1.1 after all counts every item again.
    hosts.answered(h2, CURL_HTTP_VERSION_1_1);
    EXPECT_FALSE(hosts.mayBegin(h1));
    EXPECT_GT(hosts.connectionsTaken(), 2);
    // Nothing heard (a failed connection) changes nothing.
    hosts.answered(h2, CURL_HTTP_VERSION_NONE);
    EXPECT_FALSE(hosts.multiplexes(h2));
}

// nginx over TLS with HTTP/2, each answer sent slowly so that the transfers overlap; its log
// names the connection and the time each request took.
struct TlsNginx {
    QTemporaryDir root;
    QProcess process;
    int port = 0;
    QString www, ng, ca, log;
    bool ready = false;

    explicit TlsNginx(const QString& extra) {
        if (!QFile::exists(s("/usr/sbin/nginx")) || QStandardPaths::findExecutable(s("openssl")).isEmpty()) return;
        www = root.filePath(s("www"));
        ng = root.filePath(s("nginx"));
        QDir().mkpath(www);
        QDir().mkpath(ng);
        if (!Bench::makeTestAuthority(ng)) return;
        ca = ng + s("/ca.pem");
        log = ng + s("/streams.log");
        port = Bench::freePort();
        const QString tls = s("  log_format streams '$connection $msec $request_time $uri $status';\n"
                              "  server { listen 127.0.0.1:%1 ssl http2; root %2; ssl_certificate %3/server.pem;\n"
                              "           ssl_certificate_key %3/server.key; access_log %4 streams; %5 }\n")
                                .arg(port)
                                .arg(www, ng, log, extra);
        // The plain server of the shared configuration listens on a port of its own, unused here.
        Bench::writeFile(ng + s("/nginx.conf"), Bench::NginxConf(ng, Bench::freePort(), www, tls, 256).toUtf8());
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        ready = Bench::StartNginx(process, ng, {port});
    }
    ~TlsNginx() {
        process.terminate();
        process.waitForFinished(5000);
    }
    QString url(const QString& path) const { return s("https://127.0.0.1:%1%2").arg(port).arg(path); }

    struct Request {
        QString connection;
        double begun = 0, ended = 0;
    };
    std::vector<Request> requests() const {
        std::vector<Request> all;
        QFile f(log);
        if (!f.open(QIODevice::ReadOnly)) return all;
        for (const QByteArray& line : f.readAll().split('\n')) {
            const QList<QByteArray> parts = line.split(' ');
            if (parts.size() < 3) continue;
            const double end = parts[1].toDouble();
            all.push_back(Request{QString::fromLatin1(parts[0]), end - parts[2].toDouble(), end});
        }
        return all;
    }
    // The most requests under way at one moment, as the server saw them.
    static int mostAtOnce(const std::vector<Request>& all) {
        std::vector<std::pair<double, int>> edges;
        for (const Request& r : all) {
            edges.emplace_back(r.begun, 1);
            edges.emplace_back(r.ended, -1);
        }
        // An end before a beginning at the same moment: back to back is not at once.
        std::sort(edges.begin(), edges.end());
        int now = 0, most = 0;
        for (const auto& e : edges) most = std::max(most, now += e.second);
        return most;
    }
};

QByteArray contentOf(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
}

// Items of one name in folders of their own; earlier items are longer, so later ones end first.
std::vector<QByteArray> serveItems(const TlsNginx& nginx, int count, int kb, QStringList& urls) {
    std::vector<QByteArray> served;
    for (int k = 0; k < count; ++k) {
        QByteArray data(kb * 1024 + (count - k) * 2048, char('a' + k % 26));
        const QByteArray head = "item " + QByteArray::number(k) + "\n";
        data.replace(0, head.size(), head);
        const QString folder = nginx.www + s("/d%1").arg(k);
        QDir().mkpath(folder);
        if (!Bench::writeFile(folder + s("/x.bin"), data)) ADD_FAILURE() << "cannot write " << folder.toStdString();
        served.push_back(data);
        urls << nginx.url(s("/d%1/x.bin").arg(k));
    }
    return served;
}

std::vector<Download::ItemOutcome> runAll(Download::Engine& engine, const QStringList& urls, const QString& folder,
                                          int atOnce, Download::Engine::Listener& listener, qint64 speedLimit = 0) {
    engine.beginRun();
    engine.setMaxTransfers(atOnce);
    engine.setSpeedLimit(speedLimit);
    for (const QString& url : urls) engine.enqueue(url, Main::BuildTargetPath(url, folder));
    engine.endInput();
    engine.runQueue(listener);
    return engine.finishRun();
}

Download::TransferLimits trusting(const TlsNginx& nginx) {
    Download::TransferLimits limits;
    limits.caFile = nginx.ca;
    return limits;
}

}  // namespace

TEST(Http2Streams, ManyTransfersOfOneHostShareOneConnectionAndKeepTheListsNames) {
    // Each answer takes about a second, so streams that run at once overlap in the log.
    TlsNginx nginx(s("limit_rate 48k;"));
    if (!nginx.ready) GTEST_SKIP() << "nginx or openssl is not installed";
    constexpr int kItems = 24;
    constexpr int kAtOnce = 2;
    QStringList urls;
    const std::vector<QByteArray> served = serveItems(nginx, kItems, 48, urls);
    QTemporaryDir out;
    Download::Engine engine(trusting(nginx));
    int mostUnderWay = 0;
    struct Watch : Download::Engine::Listener {
        Download::Engine* engine = nullptr;
        int* most = nullptr;
        void onItemStarted(int) override { *most = std::max(*most, engine->figures().underWay); }
    } watch;
    watch.engine = &engine;
    watch.most = &mostUnderWay;
    const std::vector<Download::ItemOutcome> outcomes = runAll(engine, urls, out.path(), kAtOnce, watch);

    ASSERT_EQ(outcomes.size(), std::size_t(kItems));
    for (int k = 0; k < kItems; ++k) {
        const QString name = k == 0 ? s("x.bin") : s("x (%1).bin").arg(k);
        EXPECT_TRUE(outcomes[k].stored) << k << ": " << outcomes[k].reason.toStdString();
        EXPECT_EQ(outcomes[k].path, out.filePath(name)) << "item " << k;
        EXPECT_TRUE(contentOf(out.filePath(name)) == served[k]) << name.toStdString() << " holds another item";
    }
    const auto requests = nginx.requests();
    ASSERT_EQ(requests.size(), std::size_t(kItems));
    std::set<QString> connections;
    for (const auto& r : requests) connections.insert(r.connection);
    EXPECT_EQ(connections.size(), 1u) << "one connection carries every stream";
    // nginx logs a slowed answer a little after its last byte, so two at a time may look like
    // three; every item at once looks like far more.
    EXPECT_GE(TlsNginx::mostAtOnce(requests), kItems / 2) << "streams at once, far more than connections";
    EXPECT_GT(mostUnderWay, kAtOnce);
}

TEST(Http2Streams, TheSpeedLimitHoldsForEveryStreamAndStopEndsThemAll) {
    TlsNginx nginx(s(""));
    if (!nginx.ready) GTEST_SKIP() << "nginx or openssl is not installed";
    QStringList urls;
    const std::vector<QByteArray> served = serveItems(nginx, 12, 64, urls);
    qint64 bytes = 0;
    for (const QByteArray& d : served) bytes += d.size();
    {
        QTemporaryDir out;
        Download::Engine engine(trusting(nginx));
        Download::Engine::Listener quiet;
        constexpr qint64 kRate = 256 * 1024;
        QElapsedTimer clock;
        clock.start();
        const auto outcomes = runAll(engine, urls, out.path(), 2, quiet, kRate);
        // A paused stream must not hold its connection's other streams for good, and the rate
        // covers all of them: no faster than the limit (less its first burst of an eighth).
        EXPECT_GE(clock.elapsed(), (bytes - kRate / 8) * 1000 / kRate - 100);
        for (std::size_t k = 0; k < served.size(); ++k) {
            ASSERT_TRUE(outcomes[k].stored) << k << ": " << outcomes[k].reason.toStdString();
            EXPECT_TRUE(contentOf(outcomes[k].path) == served[k]) << "item " << k;
        }
    }
    // Stopped while many streams run: every one ends, and nothing but whole files stays.
    TlsNginx slow(s("limit_rate 16k;"));
    ASSERT_TRUE(slow.ready);
    QStringList slowUrls;
    serveItems(slow, 24, 64, slowUrls);
    QTemporaryDir out;
    Download::Engine engine(trusting(slow));
    struct StopWhenMany : Download::Engine::Listener {
        Download::Engine* engine = nullptr;
        void onProgress() override {
            if (engine->figures().underWay > 2) engine->cancel();
        }
    } stopper;
    stopper.engine = &engine;
    const auto outcomes = runAll(engine, slowUrls, out.path(), 2, stopper);
    ASSERT_EQ(outcomes.size(), 24u);
    int cancelled = 0;
    QStringList stored;
    for (const auto& o : outcomes) {
        cancelled += o.cancelled ? 1 : 0;
        if (o.stored) stored << QFileInfo(o.path).fileName();
    }
    EXPECT_GT(cancelled, 2) << "the stop ended more streams than connections";
    stored.sort();
    EXPECT_EQ(QDir(out.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot), stored);
}

TEST(Http2Streams, AServerThatAllowsFewerStreamsGetsNoMoreAndEveryItemStillArrives) {
    TlsNginx nginx(s("limit_rate 64k; http2_max_concurrent_streams 3;"));
    if (!nginx.ready) GTEST_SKIP() << "nginx or openssl is not installed";
    QStringList urls;
    const std::vector<QByteArray> served = serveItems(nginx, 12, 32, urls);
    QTemporaryDir out;
    Download::Engine engine(trusting(nginx));
    Download::Engine::Listener quiet;
    const auto outcomes = runAll(engine, urls, out.path(), 1, quiet);
    ASSERT_EQ(outcomes.size(), served.size());
    for (std::size_t k = 0; k < served.size(); ++k) {
        ASSERT_TRUE(outcomes[k].stored) << k << ": " << outcomes[k].reason.toStdString();
        EXPECT_TRUE(contentOf(outcomes[k].path) == served[k]) << "item " << k;
    }
    const auto requests = nginx.requests();
    std::set<QString> connections;
    for (const auto& r : requests) connections.insert(r.connection);
    EXPECT_EQ(connections.size(), 1u) << "one connection, as the run allows";
    // nginx refuses a fourth stream itself; the run waits for a free one instead of failing it.
    EXPECT_GE(TlsNginx::mostAtOnce(requests), 2) << "streams still share the connection";
}

// A stream that ends before its announced length (the upstream behind nginx closes half-way, so
// nginx resets the stream) is a cut connection like any other: tried again, going on with a Range
// from where it was, while the other streams of the connection run on.
TEST(Http2Streams, AStreamThatEndsEarlyIsTriedAgainFromWhereItWasAndTheOthersArriveWhole) {
    constexpr std::size_t kLength = 256 * 1024;
    std::string body(kLength, '\0');
    for (std::size_t k = 0; k < kLength; ++k) body[k] = char((k * 7 + k / 1000) & 0xff);
    LoopbackServer upstream;
    std::mutex lock;
    std::vector<std::string> ranges;  // each request's Range, "" for none
    upstream.server().Get("/short/x.bin", [&](const httplib::Request& req, httplib::Response& res) {
        const std::string range = req.get_header_value("Range");
        {
            std::lock_guard<std::mutex> hold(lock);
            ranges.push_back(range);
        }
        res.set_header("ETag", "\"s1\"");
        res.set_header("Accept-Ranges", "bytes");
        if (range.empty()) {
            // Announces the whole length, sends half of it, and closes.
            res.set_content_provider(kLength, "application/octet-stream",
                                     [&](size_t offset, size_t, httplib::DataSink& sink) {
                                         if (offset >= kLength / 2) return false;
                                         return sink.write(body.data() + offset, kLength / 2 - offset);
                                     });
            return;
        }
        // The loopback server answers the range itself (206 with its Content-Range).
        res.set_content(body, "application/octet-stream");
    });
    upstream.start();
    TlsNginx nginx(s("location /short/ { proxy_pass http://127.0.0.1:%1; proxy_buffering off; "
                     "proxy_http_version 1.1; proxy_set_header Range $http_range; proxy_set_header If-Range $http_if_range; }")
                       .arg(upstream.port()));
    if (!nginx.ready) GTEST_SKIP() << "nginx or openssl is not installed";
    QStringList urls;
    const std::vector<QByteArray> served = serveItems(nginx, 4, 64, urls);
    urls.insert(1, nginx.url(s("/short/x.bin")));
    QTemporaryDir out;
    Download::TransferLimits limits = trusting(nginx);
    limits.retryWaitsMs = {10};
    Download::Engine engine(limits);
    Download::Engine::Listener quiet;
    const auto outcomes = runAll(engine, urls, out.path(), 1, quiet);
    ASSERT_EQ(outcomes.size(), 5u);
    ASSERT_TRUE(outcomes[1].stored) << outcomes[1].reason.toStdString() << " asked: " << [&] {
        std::lock_guard<std::mutex> hold(lock);
        std::string all;
        for (const std::string& r : ranges) all += "[" + r + "]";
        return all;
    }();
    EXPECT_TRUE(contentOf(outcomes[1].path) == QByteArray::fromStdString(body)) << "the short stream's file is not whole";
    for (std::size_t k = 0; k < served.size(); ++k) {
        const auto& o = outcomes[k == 0 ? 0 : k + 1];
        ASSERT_TRUE(o.stored) << k << ": " << o.reason.toStdString();
        EXPECT_TRUE(contentOf(o.path) == served[k]) << "item " << k;
    }
    std::lock_guard<std::mutex> hold(lock);
    std::string asked;
    for (const std::string& r : ranges) asked += "[" + r + "]";
    // A try cut off before its first byte came starts over (a slow machine may see one); once
    // half the body is in, the rest is asked for once, from where it was.
    ASSERT_GE(ranges.size(), 2u) << asked;
    EXPECT_EQ(std::count_if(ranges.begin(), ranges.end(), [](const std::string& r) { return !r.empty(); }), 1) << asked;
    EXPECT_EQ(ranges.back(), "bytes=" + std::to_string(kLength / 2) + "-") << "the rest was not asked for from where it was: " << asked;
}
