// A piece of a big item fetched with Range and If-Range from a server that answers in every wrong
// way: the piece's place in the file gets the exact bytes of the piece or nothing, never another
// part, another version or an error page; and the plan learns what is in and what waits again.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTemporaryFile>

#include <atomic>
#include <mutex>
#include <functional>
#include <string>
#include <thread>

#include "download/RangeFetch.h"

using Download::RangeFetch;
using Download::RangePlan;

namespace {

// A server on loopback that answers each connection's request with scripted bytes, then closes
// it, or resets it. Written on sockets, since a library server would answer ranges for itself.
class ScriptedHttp {
public:
    struct Reply {
        std::string bytes;
        bool reset = false;
    };
    explicit ScriptedHttp(std::function<Reply(const std::string& request)> script) : script_(std::move(script)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener_, 8);
        socklen_t len = sizeof a;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        thread_ = std::thread([this] {
            for (;;) {
                const int fd = ::accept(listener_, nullptr, nullptr);
                if (fd < 0) return;
                serve(fd);
            }
        });
    }
    ~ScriptedHttp() {
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    std::string lastRequest() const {
        std::lock_guard<std::mutex> hold(lock_);
        return last_;
    }
    int port = 0;

private:
    void serve(int fd) {
        timeval tv{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::string request;
        char buf[4096];
        while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            request.append(buf, size_t(n));
        }
        {
            std::lock_guard<std::mutex> hold(lock_);
            last_ = request;
        }
        const Reply reply = script_(request);
        for (size_t done = 0; done < reply.bytes.size();) {
            const ssize_t n = ::send(fd, reply.bytes.data() + done, reply.bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) break;
            done += size_t(n);
        }
        if (reply.reset) {
            const linger now{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
        }
        ::close(fd);
    }
    std::function<Reply(const std::string&)> script_;
    int listener_ = -1;
    std::thread thread_;
    mutable std::mutex lock_;
    std::string last_;
};

constexpr qint64 kTotal = 4000;
constexpr qint64 kFirst = 1000, kLast = 2999;

std::string version(char seed) {
    std::string data(kTotal, '\0');
    for (qint64 k = 0; k < kTotal; ++k) data[size_t(k)] = char(seed + k % 61);
    return data;
}

std::string answer(int status, const std::string& headers, const std::string& body, qint64 length = -1) {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nConnection: close\r\n" + headers +
           "Content-Length: " + std::to_string(length >= 0 ? length : qint64(body.size())) + "\r\n\r\n" + body;
}

std::string part(qint64 first, qint64 last, qint64 total, const std::string& etag, const std::string& body) {
    return answer(206, "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                           std::to_string(total) + "\r\nETag: " + etag + "\r\nContent-Type: application/zip\r\n",
                  body);
}

// One fetch of the piece [kFirst, kLast] into a file of kTotal bytes of '#', as the engine makes it.
struct Fetched {
    RangeFetch::End end;
    QString why;
    std::string file;
    std::vector<Download::ByteRange> missing;
};

Fetched fetch(const ScriptedHttp& server, std::function<bool()> stillWanted = {}) {
    QTemporaryFile file;
    EXPECT_TRUE(file.open());
    file.write(QByteArray(kTotal, '#'));
    file.flush();
    RangePlan plan(kTotal, {{0, kFirst}, {kLast + 1, kTotal}});
    const auto piece = plan.take();
    EXPECT_TRUE(piece && piece->range == (Download::ByteRange{kFirst, kLast + 1}));
    Download::AskedRange asked{kFirst, kLast, kTotal, "\"v1\"", "application/zip"};
    const QByteArray url = QStringLiteral("http://127.0.0.1:%1/big.zip").arg(server.port).toUtf8();
    RangeFetch range(Download::TransferLimits{}, url, file.handle(), plan, piece->id, asked, std::move(stillWanted));
    const CURLcode code = curl_easy_perform(range.easy());
    Fetched f;
    f.end = range.settle(code);
    f.why = range.why();
    file.seek(0);
    f.file = file.readAll().toStdString();
    f.missing = plan.missing();
    return f;
}

}  // namespace

TEST(RangeFetch, TheExactPieceIsWrittenAtItsPlaceAndAskedWithRangeAndIfRange) {
    const std::string v1 = version('a');
    ScriptedHttp server([&](const std::string&) {
        return ScriptedHttp::Reply{part(kFirst, kLast, kTotal, "\"v1\"", v1.substr(kFirst, kLast - kFirst + 1))};
    });
    const Fetched f = fetch(server);
    EXPECT_EQ(f.end, RangeFetch::End::Done) << f.why.toStdString();
    EXPECT_EQ(f.file, std::string(kFirst, '#') + v1.substr(kFirst, kLast - kFirst + 1) + std::string(kTotal - kLast - 1, '#'));
    EXPECT_TRUE(f.missing.empty());
    EXPECT_NE(server.lastRequest().find("Range: bytes=1000-2999\r\n"), std::string::npos);
    EXPECT_NE(server.lastRequest().find("If-Range: \"v1\"\r\n"), std::string::npos);
}

TEST(RangeFetch, AnyOtherAnswerWritesNothingAndThePieceWaitsAgain) {
    const std::string v1 = version('a'), v2 = version('A');
    const std::string piece1 = v1.substr(kFirst, kLast - kFirst + 1);
    struct Case {
        const char* what;
        std::string reply;
        RangeFetch::End end;
    };
    const std::vector<Case> cases{
        {"the whole file for a range", answer(200, "ETag: \"v1\"\r\n", v1), RangeFetch::End::Refused},
        {"a shifted range", part(kFirst + 1, kLast + 1, kTotal, "\"v1\"", v1.substr(kFirst + 1, kLast - kFirst + 1)),
         RangeFetch::End::Refused},
        {"another total", part(kFirst, kLast, kTotal + 1, "\"v1\"", piece1), RangeFetch::End::Refused},
        {"another version", part(kFirst, kLast, kTotal, "\"v2\"", v2.substr(kFirst, kLast - kFirst + 1)),
         RangeFetch::End::Refused},
        {"an error page", answer(404, "Content-Type: text/html\r\n", "<html>Not found</html>"), RangeFetch::End::Refused},
        {"a redirect", answer(302, "Location: /elsewhere.zip\r\n", ""), RangeFetch::End::Refused},
        {"a pause asked", answer(503, "Retry-After: 7\r\n", "busy"), RangeFetch::End::Busy},
    };
    for (const Case& c : cases) {
        ScriptedHttp server([&](const std::string&) { return ScriptedHttp::Reply{c.reply}; });
        const Fetched f = fetch(server);
        EXPECT_EQ(f.end, c.end) << c.what << ": " << f.why.toStdString();
        EXPECT_FALSE(f.why.isEmpty()) << c.what;
        EXPECT_EQ(f.file, std::string(kTotal, '#')) << c.what << " wrote into the file";
        EXPECT_EQ(f.missing, (std::vector<Download::ByteRange>{{kFirst, kLast + 1}})) << c.what;
    }
}

TEST(RangeFetch, ACutOrResetAnswerKeepsOnlyTheProvenBytesAndTheRestWaitsAgain) {
    const std::string v1 = version('a');
    const std::string piece1 = v1.substr(kFirst, kLast - kFirst + 1);
    for (bool reset : {false, true}) {
        // The right headers, then half of the body and the end of the connection.
        const std::string full = part(kFirst, kLast, kTotal, "\"v1\"", piece1);
        const std::string cut = full.substr(0, full.size() - piece1.size() / 2);
        ScriptedHttp server([&](const std::string&) { return ScriptedHttp::Reply{cut, reset}; });
        const Fetched f = fetch(server);
        EXPECT_EQ(f.end, RangeFetch::End::Broken) << reset;
        const qint64 came = qint64(piece1.size() - piece1.size() / 2);
        // A reset may lose bytes in flight: whatever came is the right bytes, at the right place.
        const qint64 written = f.missing.empty() ? 0 : f.missing.front().first - kFirst;
        EXPECT_LE(written, came) << reset;
        EXPECT_EQ(f.file.substr(kFirst, size_t(written)), piece1.substr(0, size_t(written))) << reset;
        EXPECT_EQ(f.file.substr(size_t(kFirst + written), size_t(kLast + 1 - kFirst - written)),
                  std::string(size_t(kLast + 1 - kFirst - written), '#'))
            << reset;
        EXPECT_EQ(f.missing, (std::vector<Download::ByteRange>{{kFirst + written, kLast + 1}})) << reset;
        if (!reset) {
            EXPECT_EQ(written, came);
        }
    }
    // The item's file was started over meanwhile: nothing is written into it.
    ScriptedHttp server([&](const std::string&) { return ScriptedHttp::Reply{part(kFirst, kLast, kTotal, "\"v1\"", piece1)}; });
    const Fetched f = fetch(server, [] { return false; });
    EXPECT_EQ(f.file, std::string(kTotal, '#'));
}
