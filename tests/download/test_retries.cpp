// Retries of transient failures and carrying on from the byte reached, against loopback servers
// that cut, refuse and change their answers on purpose.
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <QFileInfo>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "download/DownloadEngine.h"
#include "harness/LoopbackServer.h"

using namespace std::chrono_literals;

namespace {

constexpr std::size_t kSize = 2 * 1024 * 1024;
constexpr std::size_t kCut = 1024 * 1024;

std::string pattern(std::size_t size, int version) {
    std::string body(size, '\0');
    for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<char>((i * 7 + static_cast<std::size_t>(version) * 13) % 251);
    return body;
}

struct Seen {
    std::string range, ifRange;
};

struct RetryFixture : ::testing::Test {
    LoopbackServer http;
    QTemporaryDir dir;
    Download::TransferProgress progress;
    std::mutex lock;
    std::vector<Seen> seen;
    std::atomic<bool> released{false};
    std::unique_ptr<Download::Engine> engine;

    RetryFixture() { use(Download::TransferLimits{2000, 1, 5, 4, {20, 40, 80}}); }
    ~RetryFixture() override { released = true; }

    void use(const Download::TransferLimits& limits) {
        engine = std::make_unique<Download::Engine>(limits);
    }

    // Notes the request and takes its range off, so that the handler alone decides the answer.
    int note(const httplib::Request& req) {
        std::lock_guard<std::mutex> hold(lock);
        seen.push_back({req.get_header_value("Range"), req.get_header_value("If-Range")});
        const_cast<httplib::Request&>(req).ranges.clear();
        return static_cast<int>(seen.size());
    }
    std::vector<Seen> requests() {
        std::lock_guard<std::mutex> hold(lock);
        return seen;
    }

    // The whole body with its validators; the connection is dropped after `cutAt` bytes.
    static void whole(httplib::Response& res, const std::string& body, const std::string& etag,
                      std::size_t cutAt = std::string::npos) {
        res.status = 200;
        res.set_header("Accept-Ranges", "bytes");
        if (!etag.empty()) res.set_header("ETag", etag);
        auto shared = std::make_shared<std::string>(body);
        res.set_content_provider(body.size(), "application/octet-stream",
                                 [shared, cutAt](size_t offset, size_t length, httplib::DataSink& sink) {
                                     if (offset >= cutAt) return false;
                                     const size_t n = std::min<size_t>({length, 64 * 1024, cutAt - offset});
                                     sink.write(shared->data() + offset, n);
                                     return true;
                                 });
    }
    // The bytes from `from` on, as a part of a body of `total` bytes.
    static void part(httplib::Response& res, const std::string& body, std::size_t from, std::size_t total,
                     const std::string& etag) {
        res.status = 206;
        res.set_header("Accept-Ranges", "bytes");
        res.set_header("ETag", etag);
        res.set_header("Content-Range",
                       "bytes " + std::to_string(from) + "-" + std::to_string(total - 1) + "/" + std::to_string(total));
        auto shared = std::make_shared<std::string>(body.substr(std::min(from, body.size())));
        res.set_content_provider(shared->size(), "application/octet-stream",
                                 [shared](size_t offset, size_t length, httplib::DataSink& sink) {
                                     sink.write(shared->data() + offset, std::min<size_t>(length, 64 * 1024));
                                     return true;
                                 });
    }

    Fw::Result<Download::TransferInfo> fetch(const QString& path, std::string* body = nullptr) {
        const QString file = dir.filePath(QStringLiteral("out"));
        const int fd = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        EXPECT_GE(fd, 0);
        // The body begins after bytes of the file's own, which a restart must keep.
        EXPECT_EQ(::write(fd, "HEAD", 4), 4);
        auto result = engine->fetchInto(http.url(path), fd, &progress);
        ::close(fd);
        QFile f(file);
        f.open(QIODevice::ReadOnly);
        const QByteArray all = f.readAll();
        EXPECT_TRUE(all.startsWith("HEAD"));
        if (body) *body = all.mid(4).toStdString();
        return result;
    }
};

}  // namespace

TEST_F(RetryFixture, ABodyCutOffGoesOnFromTheByteReachedWithRangeAndIfRange) {
    const std::string body = pattern(kSize, 1);
    http.server().Get("/big.iso", [&](const httplib::Request& req, httplib::Response& res) {
        if (note(req) == 1) return whole(res, body, "\"v1\"", kCut);
        part(res, body, kCut, kSize, "\"v1\"");
    });
    http.start();
    std::string stored;
    auto r = fetch(QStringLiteral("/big.iso"), &stored);
    ASSERT_TRUE(r) << r.error().text.toStdString();
    EXPECT_EQ(r->tries, 2);
    EXPECT_EQ(r->bytes, qint64(kSize));
    EXPECT_TRUE(stored == body) << "stored " << stored.size() << " bytes";
    const auto reqs = requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].range, "");
    EXPECT_EQ(reqs[1].range, "bytes=" + std::to_string(kCut) + "-");
    EXPECT_EQ(reqs[1].ifRange, "\"v1\"");
    EXPECT_EQ(progress.received, qint64(kSize));
    EXPECT_EQ(progress.total, qint64(kSize));
    EXPECT_EQ(progress.attempt, 2);
}

TEST_F(RetryFixture, AServerIgnoringTheRangeGivesTheWholeBodyOnceNotAppended) {
    const std::string body = pattern(kSize, 1);
    http.server().Get("/big.iso", [&](const httplib::Request& req, httplib::Response& res) {
        whole(res, body, "\"v1\"", note(req) == 1 ? kCut : std::string::npos);
    });
    http.start();
    std::string stored;
    auto r = fetch(QStringLiteral("/big.iso"), &stored);
    ASSERT_TRUE(r) << r.error().text.toStdString();
    EXPECT_EQ(stored.size(), kSize);
    EXPECT_TRUE(stored == body);
    ASSERT_EQ(requests().size(), 2u);
    EXPECT_FALSE(requests()[1].range.empty());
}

TEST_F(RetryFixture, AChangedFileBetweenTriesIsFetchedAgainFromItsStart) {
    const std::string first = pattern(kSize, 1);
    const std::string second = pattern(kSize + 1000, 2);
    // What a server answers the range request with once the file has changed: each must end
    // in the second version, whole.
    const std::vector<std::function<void(const httplib::Request&, httplib::Response&)>> answers{
        // An honest server: If-Range no longer matches, so the whole new file.
        [&](const httplib::Request&, httplib::Response& res) { whole(res, second, "\"v2\""); },
        // A server that ignores If-Range: a part of the new file, with its new tag.
        [&](const httplib::Request&, httplib::Response& res) { part(res, second, kCut, second.size(), "\"v2\""); },
        // The same tag but another total.
        [&](const httplib::Request&, httplib::Response& res) { part(res, second, kCut, second.size(), "\"v1\""); },
        // A part that starts elsewhere.
        [&](const httplib::Request&, httplib::Response& res) { part(res, second, kCut - 10, second.size(), "\"v1\""); },
        // No range of that file any more.
        [&](const httplib::Request&, httplib::Response& res) { res.status = 416; },
    };
    for (std::size_t k = 0; k < answers.size(); ++k) {
        LoopbackServer server;
        std::atomic<int> count{0};
        server.server().Get("/big.iso", [&](const httplib::Request& req, httplib::Response& res) {
            const int n = ++count;
            note(req);
            if (n == 1) return whole(res, first, "\"v1\"", kCut);
            if (n == 2) return answers[k](req, res);
            whole(res, second, "\"v2\"");
        });
        server.start();
        const QString file = dir.filePath(QStringLiteral("out%1").arg(k));
        const int fd = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        auto r = engine->fetchInto(server.url(QStringLiteral("/big.iso")), fd, &progress);
        ::close(fd);
        ASSERT_TRUE(r) << "answer " << k << ": " << r.error().text.toStdString();
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_TRUE(f.readAll().toStdString() == second) << "answer " << k << ": " << f.size() << " bytes";
        // Only the first answer needs no third request.
        EXPECT_EQ(count.load(), k == 0 ? 2 : 3) << "answer " << k;
        server.stop();
        engine.reset();  // its connections went to the server just stopped
        use(Download::TransferLimits{2000, 1, 5, 4, {20, 40, 80}});
    }
}

TEST_F(RetryFixture, TransientStatusesAreTriedAgainAndRetryAfterIsHonoured) {
    std::atomic<int> calls503{0}, calls429{0}, callsLong{0};
    http.server().Get("/busy", [&](const httplib::Request&, httplib::Response& res) {
        if (++calls503 <= 2) {
            res.status = 503;
            res.set_content("busy", "text/plain");
            return;
        }
        res.set_content("finally", "text/plain");
    });
    http.server().Get("/limited", [&](const httplib::Request&, httplib::Response& res) {
        if (++calls429 == 1) {
            res.status = 429;
            res.set_header("Retry-After", "1");
            return;
        }
        res.set_content("let in", "text/plain");
    });
    http.server().Get("/later", [&](const httplib::Request&, httplib::Response& res) {
        ++callsLong;
        res.status = 503;
        res.set_header("Retry-After", "700");
    });
    std::atomic<int> callsHuge{0};
    http.server().Get("/never", [&](const httplib::Request&, httplib::Response& res) {
        ++callsHuge;
        res.status = 503;
        res.set_header("Retry-After", "99999999999999999999");  // past any integer type
    });
    http.start();
    std::string body;
    auto r = fetch(QStringLiteral("/busy"), &body);
    ASSERT_TRUE(r) << r.error().text.toStdString();
    EXPECT_EQ(body, "finally");
    EXPECT_EQ(r->tries, 3);
    EXPECT_EQ(calls503, 3);

    const auto start = std::chrono::steady_clock::now();
    r = fetch(QStringLiteral("/limited"), &body);
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(r) << r.error().text.toStdString();
    EXPECT_EQ(body, "let in");
    EXPECT_EQ(calls429, 2);
    EXPECT_GE(took, 950ms);  // the server's second, not the 20 ms of the schedule

    r = fetch(QStringLiteral("/later"));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().text, QStringLiteral("HTTP 503 (the server asks to wait 12 min)"));
    EXPECT_EQ(callsLong, 1);

    r = fetch(QStringLiteral("/never"));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().text, QStringLiteral("HTTP 503 (the server asks to wait 525600 min)"));
    EXPECT_EQ(callsHuge, 1);
}

TEST_F(RetryFixture, LastingFailuresAreTriedOnceOrUntilTheTriesRunOut) {
    std::atomic<int> missing{0}, broken{0}, stalls{0};
    http.server().Get("/missing", [&](const httplib::Request&, httplib::Response& res) {
        ++missing;
        res.status = 404;
        res.set_content("no", "text/plain");
    });
    http.server().Get("/broken", [&](const httplib::Request&, httplib::Response& res) {
        ++broken;
        res.status = 500;
    });
    http.server().Get("/stall", [&](const httplib::Request&, httplib::Response& res) {
        ++stalls;
        res.set_chunked_content_provider("application/octet-stream", [&](size_t, httplib::DataSink&) {
            for (int k = 0; k < 100 && !released; ++k) std::this_thread::sleep_for(20ms);
            return false;
        });
    });
    http.start();
    auto r = fetch(QStringLiteral("/missing"));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().text, QStringLiteral("HTTP 404"));
    EXPECT_EQ(r.error().code, 404);
    EXPECT_EQ(missing, 1);

    r = fetch(QStringLiteral("/broken"));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().text, QStringLiteral("HTTP 500 after 4 tries"));
    EXPECT_EQ(broken, 4);

    r = fetch(QStringLiteral("/stall"));
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().text.endsWith(QStringLiteral(" after 4 tries"))) << r.error().text.toStdString();
    EXPECT_TRUE(r.error().text.contains(QStringLiteral("The server stopped sending (1 s)"))) << r.error().text.toStdString();
    EXPECT_EQ(stalls, 4);

    // A refused connection is not tried again: it fails at once.
    QFile out(dir.filePath(QStringLiteral("refused")));
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    const auto start = std::chrono::steady_clock::now();
    r = engine->fetchInto(QStringLiteral("http://127.0.0.1:1/x"), out.handle(), &progress);
    ASSERT_FALSE(r);
    EXPECT_FALSE(r.error().text.contains(QStringLiteral("tries"))) << r.error().text.toStdString();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
}

TEST_F(RetryFixture, CancelEndsTheWaitBeforeARetryAtOnce) {
    use(Download::TransferLimits{2000, 1, 5, 4, {20000}});
    std::atomic<int> calls{0};
    http.server().Get("/busy", [&](const httplib::Request&, httplib::Response& res) {
        ++calls;
        res.status = 503;
    });
    http.start();
    std::thread canceller([&] {
        while (progress.retryAtMs == 0) std::this_thread::sleep_for(5ms);
        std::this_thread::sleep_for(100ms);
        engine->cancel();
    });
    const auto start = std::chrono::steady_clock::now();
    auto r = fetch(QStringLiteral("/busy"));
    const auto took = std::chrono::steady_clock::now() - start;
    canceller.join();
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().isCancelled());
    EXPECT_LT(took, 2s);
    EXPECT_EQ(calls, 1);
}

TEST_F(RetryFixture, TheRealScheduleWaitsASecondBeforeTheSecondTry) {
    use(Download::TransferLimits{2000, 1, 5});
    std::atomic<int> calls{0};
    http.server().Get("/once", [&](const httplib::Request&, httplib::Response& res) {
        if (++calls == 1) {
            res.status = 502;
            return;
        }
        res.set_content("ok", "text/plain");
    });
    http.start();
    const auto start = std::chrono::steady_clock::now();
    std::string body;
    auto r = fetch(QStringLiteral("/once"), &body);
    ASSERT_TRUE(r) << r.error().text.toStdString();
    EXPECT_EQ(body, "ok");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 950ms);
}

TEST_F(RetryFixture, APartThatBringsLessOrMoreThanTheRestIsNeverStoredAsTheFile) {
    // After the cut, the server's part starts at the right byte with the right total but carries
    // too little, then too much; only the third try, a whole answer, is the file.
    const std::string body = pattern(600000, 1);
    std::atomic<std::size_t> partLength{220000};
    http.server().Get("/short.bin", [&](const httplib::Request& req, httplib::Response& res) {
        const int n = note(req);
        if (n == 1) return whole(res, body, "\"v1\"", 200000);
        if (n == 2) {
            res.status = 206;
            res.set_header("ETag", "\"v1\"");
            res.set_header("Content-Range", "bytes 200000-599999/600000");
            res.set_content(pattern(partLength, 1), "application/octet-stream");
            return;
        }
        whole(res, body, "\"v1\"");
    });
    http.start();
    for (const std::size_t length : {std::size_t(220000), std::size_t(400777)}) {
        partLength = length;
        {
            std::lock_guard<std::mutex> hold(lock);
            seen.clear();
        }
        std::string stored;
        auto r = fetch(QStringLiteral("/short.bin"), &stored);
        ASSERT_TRUE(r) << r.error().text.toStdString();
        EXPECT_EQ(r->tries, 3);
        EXPECT_EQ(stored.size(), body.size());
        EXPECT_TRUE(stored == body);
    }
    // With no try left, the mismatch is the reason, never a success.
    use(Download::TransferLimits{2000, 1, 5, 2, {20}});
    partLength = 220000;
    {
        std::lock_guard<std::mutex> hold(lock);
        seen.clear();
    }
    auto r = fetch(QStringLiteral("/short.bin"));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().text, QStringLiteral("The server sent 420000 of 600000 bytes after 2 tries"));
}

namespace {
// A raw HTTP/1.1 server on loopback whose first answer announces 1 KB and sends far more on a
// kept-alive connection; every later connection gets honest answers.
struct LyingServer {
    int listener = -1;
    int port = 0;
    std::atomic<bool> stop{false};
    std::atomic<int> connections{0};
    std::thread thread;

    LyingServer() {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
        ::listen(listener, 8);
        thread = std::thread([this] { serve(); });
    }
    ~LyingServer() {
        stop = true;
        ::shutdown(listener, SHUT_RDWR);
        ::close(listener);
        thread.join();
    }
    static void answer(int fd, bool lie) {
        char request[4096];
        if (::recv(fd, request, sizeof request, 0) <= 0) return;
        const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 1024\r\nContent-Type: application/octet-stream\r\n\r\n";
        const std::string reply = head + std::string(1024, 'a');
        ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        if (!lie) return;
        // The surplus, once the client has its answer: more body than announced, read as if it
        // were the next answer on the connection.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const std::string surplus(4 * 1024 * 1024, 'X');
        ::send(fd, surplus.data(), surplus.size(), MSG_NOSIGNAL);
    }
    void serve() {
        while (!stop) {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            const int n = ++connections;
            std::thread([fd, n] {
                answer(fd, n == 1);
                // Later requests on this connection get honest answers too, when it still reads.
                for (int k = 0; k < 4; ++k) answer(fd, false);
                ::close(fd);
            }).detach();
        }
    }
};
}  // namespace

TEST_F(RetryFixture, AnAnswerLongerThanItsLengthDoesNotSpoilTheNextItemOnTheConnection) {
    LyingServer lying;
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(lying.port);
    for (const char* name : {"/first.bin", "/second.bin"}) {
        if (std::strcmp(name, "/second.bin") == 0) std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const QString file = dir.filePath(QString::fromLatin1(name).mid(1));
        const int fd = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        auto r = engine->fetchInto(base + QString::fromLatin1(name), fd, &progress);
        ::close(fd);
        ASSERT_TRUE(r) << name << ": " << r.error().text.toStdString();
        EXPECT_EQ(QFileInfo(file).size(), 1024) << name;
    }
    // The second item went over a fresh connection.
    EXPECT_GE(lying.connections.load(), 2);
}
