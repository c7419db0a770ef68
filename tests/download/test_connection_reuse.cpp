// Connections follow the work: a free transfer slot goes to an item whose server has a
// connection open and waiting before one that needs a new connection, while names still follow
// the list and no server gets more connections than the run's number.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <mutex>
#include <set>

#include "download/DownloadEngine.h"
#include "download/HostConnections.h"
#include "harness/LoopbackServer.h"

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

}  // namespace
