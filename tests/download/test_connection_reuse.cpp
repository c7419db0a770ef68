// Connections follow the work: a free transfer slot goes to an item whose server has a
// connection open and waiting before one that needs a new connection, while names still follow
// the list and no server gets more connections than the run's number.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <mutex>
#include <set>

#include "download/DownloadEngine.h"
#include "download/HostConnections.h"
#include "harness/LoopbackServer.h"
#include "BenchNet.h"

namespace {

QString s(const char* text) { return QString::fromUtf8(text); }

TEST(HostConnections, KnowsWhichHostsHaveAConnectionWaitingAndDropsTheOnesLibcurlWouldClose) {
    Download::HostConnections hosts;
    hosts.setConnections(2);
    const QString a = s("a.example:80"), b = s("b.example:80"), c = s("c.example:80"), h2 = s("h2.example:443");
    EXPECT_FALSE(hosts.anyOpen(0));
    hosts.began(a, 0);
    hosts.began(b, 0);
    EXPECT_FALSE(hosts.hasOpenConnection(a, 0)) << "busy over HTTP/1.1: nothing to spare";
    hosts.ended(a, true, 10);
    hosts.ended(b, false, 10);  // closed by its server
    EXPECT_TRUE(hosts.hasOpenConnection(a, 20));
    EXPECT_FALSE(hosts.hasOpenConnection(b, 20));
    // Taken again: no longer waiting, and it is the same connection, so nothing else closes.
    hosts.began(a, 30);
    EXPECT_FALSE(hosts.anyOpen(30));
    hosts.ended(a, true, 40);
    hosts.began(b, 50);
    hosts.ended(b, true, 60);
    EXPECT_TRUE(hosts.hasOpenConnection(a, 70));
    EXPECT_TRUE(hosts.hasOpenConnection(b, 70));
    // A third host needs a connection of its own: past the count the oldest idle one goes.
    hosts.began(c, 80);
    EXPECT_FALSE(hosts.hasOpenConnection(a, 90));
    EXPECT_TRUE(hosts.hasOpenConnection(b, 90));
    // Servers close idle connections after a while.
    EXPECT_FALSE(hosts.hasOpenConnection(b, 60 + Download::HostConnections::kIdleMs));
    hosts.ended(c, true, 100);

    // HTTP/2: a connection under way has streams to spare, and goes idle with its last one.
    hosts.began(h2, 200);
    hosts.answered(h2, CURL_HTTP_VERSION_2_0);
    EXPECT_TRUE(hosts.hasOpenConnection(h2, 210));
    hosts.began(h2, 210);
    hosts.ended(h2, true, 220);
    EXPECT_TRUE(hosts.hasOpenConnection(h2, 230));
    hosts.ended(h2, true, 240);
    EXPECT_TRUE(hosts.hasOpenConnection(h2, 250)) << "idle now, and open";
}

// Two servers whose items take turns in the list, every file named alike: one transfer at a time
// keeps to one connection a server, yet the names follow the list.
TEST(ConnectionReuse, ItemsOfAServerWhoseConnectionWaitsGoFirstAndNamesStillFollowTheList) {
    struct Ports {
        std::mutex lock;
        std::set<int> seen;
    };
    LoopbackServer one, two;
    Ports onePorts, twoPorts;
    for (auto [server, ports] : {std::pair{&one, &onePorts}, std::pair{&two, &twoPorts}}) {
        server->server().set_keep_alive_max_count(1000);
        server->server().Get("/(\\d+)/x.bin", [ports](const httplib::Request& req, httplib::Response& res) {
            {
                std::lock_guard<std::mutex> hold(ports->lock);
                ports->seen.insert(req.remote_port);
            }
            res.set_content("item " + req.matches[1].str(), "application/octet-stream");
        });
        server->start();
    }
    QTemporaryDir dir;
    Download::Engine engine(Download::TransferLimits{2000, 30, 5, 1, {}});
    engine.beginRun();
    engine.setMaxTransfers(1);
    constexpr int kItems = 16;
    for (int k = 0; k < kItems; ++k) {
        const LoopbackServer& server = k % 2 == 0 ? one : two;
        const QString url = server.url(s("/%1/x.bin").arg(k));
        engine.enqueue(url, Main::BuildTargetPath(url, dir.path()));
    }
    engine.endInput();
    engine.runQueue(std::function<void()>());
    const auto outcomes = engine.finishRun();
    ASSERT_EQ(outcomes.size(), std::size_t(kItems));
    for (int k = 0; k < kItems; ++k) {
        ASSERT_TRUE(outcomes[std::size_t(k)].stored) << k << ": " << outcomes[std::size_t(k)].reason.toStdString();
        const QString name = k == 0 ? s("x.bin") : s("x (%1).bin").arg(k);
        EXPECT_EQ(outcomes[std::size_t(k)].path, dir.filePath(name));
        QFile file(dir.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), "item " + QByteArray::number(k)) << "the list's order names the files";
    }
    // Taking the list strictly in turn would have opened a connection for every item.
    EXPECT_LE(onePorts.seen.size(), 2u);
    EXPECT_LE(twoPorts.seen.size(), 2u);
}

// A server that closes each connection after one answer (HTTP/1.1 over TLS: libcurl of Debian 12
// keeps no session of an HTTP/2 connection its server ended with GOAWAY): every item of a run needs
// a new connection, and each after the first resumes the TLS session of the one before instead
// of a whole handshake, though each item has a transfer of its own.
TEST(ConnectionReuse, NewConnectionsToAServerSeenBeforeResumeItsTlsSession) {
    if (!QFile::exists(s("/usr/sbin/nginx")) || QStandardPaths::findExecutable(s("openssl")).isEmpty())
        GTEST_SKIP() << "needs nginx and openssl";
    QTemporaryDir root;
    const QString www = root.filePath(s("www")), ng = root.filePath(s("nginx"));
    QDir().mkpath(www);
    QDir().mkpath(ng);
    ASSERT_TRUE(Bench::makeTestAuthority(ng));
    const int port = Bench::freePort();
    const QString log = ng + s("/sessions.log");
    const QString tls = s("  log_format sessions '$connection $ssl_session_reused';\n"
                          "  server { listen 127.0.0.1:%1 ssl; root %2; ssl_certificate %3/server.pem;\n"
                          "           ssl_certificate_key %3/server.key; keepalive_requests 1;\n"
                          "           ssl_session_cache shared:s:1m; access_log %4 sessions; }\n")
                            .arg(port)
                            .arg(www, ng, log);
    Bench::writeFile(ng + s("/nginx.conf"), Bench::NginxConf(ng, Bench::freePort(), www, tls, 64).toUtf8());
    QProcess nginx;
    nginx.setProcessChannelMode(QProcess::ForwardedChannels);
    ASSERT_TRUE(Bench::StartNginx(nginx, ng, {port}));
    constexpr int kItems = 4;
    for (int k = 0; k < kItems; ++k) Bench::writeFile(www + s("/f%1.bin").arg(k), QByteArray(20000, char('a' + k)));

    QTemporaryDir out;
    Download::TransferLimits limits;
    limits.caFile = ng + s("/ca.pem");
    Download::Engine engine(limits);
    engine.beginRun();
    engine.setMaxTransfers(1);
    for (int k = 0; k < kItems; ++k) {
        const QString url = s("https://127.0.0.1:%1/f%2.bin").arg(port).arg(k);
        engine.enqueue(url, Main::BuildTargetPath(url, out.path()));
    }
    engine.endInput();
    engine.runQueue(std::function<void()>());
    const auto outcomes = engine.finishRun();
    nginx.terminate();
    nginx.waitForFinished(5000);
    for (const auto& outcome : outcomes) ASSERT_TRUE(outcome.stored) << outcome.reason.toStdString();

    QFile file(log);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    std::set<QByteArray> connections;
    int resumed = 0;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() != 2) continue;
        connections.insert(parts[0]);
        resumed += parts[1] == "r" ? 1 : 0;
    }
    EXPECT_EQ(connections.size(), std::size_t(kItems)) << "the server closed each connection after one answer";
    EXPECT_EQ(resumed, kItems - 1) << "every connection after the first resumed a session";
}

}  // namespace
