// The latency proxy against a scripted loopback server: bytes pass unchanged both ways, nothing
// arrives before its half round trip, a close comes after the data sent before it, and one
// bandwidth cap is shared by all connections. Only lower bounds of time are checked (a busy
// machine may be slower, never faster); upper bounds only keep a fault from hanging the test.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = char(gen());
    return s;
}

void limitWaits(int fd) {
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool sendAll(int fd, const std::string& data) {
    for (size_t done = 0; done < data.size();) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

// Everything up to the peer's close; `eof` tells whether it was a clean close.
std::string readToEnd(int fd, bool* eof = nullptr, Clock::time_point* firstByte = nullptr) {
    std::string s;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n > 0 && s.empty() && firstByte) *firstByte = Clock::now();
        if (n <= 0) {
            if (eof) *eof = n == 0;
            return s;
        }
        s.append(buf, size_t(n));
    }
}

int connectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    limitWaits(fd);
    return fd;
}

// A loopback server that serves `connections` connections, each on a thread of its own.
class ScriptedServer {
public:
    ScriptedServer(int connections, std::function<void(int)> serve) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener_, 16);
        socklen_t len = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        acceptor_ = std::thread([this, connections, serve] {
            for (int k = 0; k < connections; ++k) {
                const int fd = ::accept(listener_, nullptr, nullptr);
                if (fd < 0) return;
                limitWaits(fd);
                workers_.emplace_back([fd, serve] {
                    serve(fd);
                    ::close(fd);
                });
            }
        });
    }
    ~ScriptedServer() {
        ::shutdown(listener_, SHUT_RDWR);
        acceptor_.join();
        for (std::thread& t : workers_) t.join();
        ::close(listener_);
    }
    int port = 0;

private:
    int listener_ = -1;
    std::thread acceptor_;
    std::vector<std::thread> workers_;
};

// The proxy as a child process, ended with the test.
class Proxy {
public:
    Proxy(int upstream, int rttMs, double mbit) {
        int out[2];
        if (::pipe(out) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            const std::string up = std::to_string(upstream), rtt = std::to_string(rttMs), cap = std::to_string(mbit);
            ::execl(LATENCY_PROXY, LATENCY_PROXY, "--listen", "0", "--upstream", up.c_str(), "--rtt-ms", rtt.c_str(),
                    "--mbit", cap.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        out_ = out[0];
        const std::string line = readLine();
        const size_t colon = line.rfind(':');
        if (line.rfind("listening on", 0) == 0 && colon != std::string::npos) port = std::stoi(line.substr(colon + 1));
    }
    ~Proxy() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
    }
    // The proxy's count of connections since the last one, as it prints it.
    std::string connections() {
        ::kill(pid_, SIGUSR1);
        return readLine();
    }
    int port = 0;

private:
    std::string readLine() {
        std::string line;
        char c;
        while (line.find('\n') == std::string::npos && ::read(out_, &c, 1) == 1) line += c;
        return line;
    }
    pid_t pid_ = -1;
    int out_ = -1;
};

TEST(LatencyProxy, BytesPassBothWaysAfterHalfARoundTripAndTheCloseComesAfterThem) {
    const std::string request = randomBytes(300 * 1024, 1), answer = randomBytes(1 << 20, 2);
    std::string received;
    bool requestEnded = false;
    ScriptedServer server(1, [&](int fd) {
        // The client's close may reach here only after all its bytes.
        received = readToEnd(fd, &requestEnded);
        sendAll(fd, answer);
    });
    Proxy proxy(server.port, 200, 0);
    ASSERT_GT(proxy.port, 0);
    const int fd = connectTo(proxy.port);
    ASSERT_GE(fd, 0);
    const auto sent = Clock::now();
    ASSERT_TRUE(sendAll(fd, request));
    ::shutdown(fd, SHUT_WR);
    bool answerEnded = false;
    Clock::time_point firstByte{};
    const std::string got = readToEnd(fd, &answerEnded, &firstByte);
    const double total = since(sent);
    ::close(fd);
    EXPECT_TRUE(requestEnded);
    EXPECT_TRUE(received == request) << received.size() << " of " << request.size() << " bytes, or not as sent";
    EXPECT_TRUE(answerEnded);
    EXPECT_TRUE(got == answer) << got.size() << " of " << answer.size() << " bytes, or not as sent";
    // Up with the request's close, then down with the answer: a whole round trip at least.
    EXPECT_GE(std::chrono::duration<double>(firstByte - sent).count(), 0.195);
    EXPECT_LT(total, 5.0);
}

TEST(LatencyProxy, OneCapIsSharedByAllConnections) {
    // Two answers of 512 KB at 4 Mbit/s (500,000 bytes/s): one link takes the pair at least the
    // time of 1 MB less the bucket's depth (256 KB); a cap per connection would take half that.
    const std::string answer = randomBytes(512 * 1024, 3);
    ScriptedServer server(2, [&](int fd) {
        char go;
        if (::recv(fd, &go, 1, 0) == 1) sendAll(fd, answer);
    });
    Proxy proxy(server.port, 0, 4);
    ASSERT_GT(proxy.port, 0);
    const int a = connectTo(proxy.port), b = connectTo(proxy.port);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    const auto start = Clock::now();
    ASSERT_TRUE(sendAll(a, "g"));
    ASSERT_TRUE(sendAll(b, "g"));
    std::string gotB;
    std::thread readerB([&] { gotB = readToEnd(b); });
    const std::string gotA = readToEnd(a);
    readerB.join();
    const double secs = since(start);
    ::close(a);
    ::close(b);
    EXPECT_TRUE(gotA == answer);
    EXPECT_TRUE(gotB == answer);
    EXPECT_GE(secs, (2.0 * answer.size() - 256 * 1024) / 500000 - 0.02);
    EXPECT_LT(secs, 10.0);
}

TEST(LatencyProxy, CountsTheConnectionsOpenedAndTheMostAtOnceSinceItWasLastAsked) {
    ScriptedServer server(3, [](int fd) {
        char c;
        if (::recv(fd, &c, 1, 0) == 1) sendAll(fd, std::string(1, c));
        readToEnd(fd);
    });
    Proxy proxy(server.port, 0, 0);
    ASSERT_GT(proxy.port, 0);
    // A byte there and back: the proxy has surely taken the connection in.
    auto open = [&] {
        const int fd = connectTo(proxy.port);
        char c = 0;
        EXPECT_TRUE(fd >= 0 && sendAll(fd, "x") && ::recv(fd, &c, 1, 0) == 1 && c == 'x');
        return fd;
    };
    const int a = open(), b = open();
    EXPECT_EQ(proxy.connections(), "connections 2, at once 2\n");
    const int c = open();
    EXPECT_EQ(proxy.connections(), "connections 1, at once 3\n") << "those still open count toward the most at once";
    for (int fd : {a, b, c}) ::close(fd);
}

TEST(LatencyProxy, AnUpstreamThatRefusesClosesTheClient) {
    Proxy proxy(1, 20, 0);  // nothing listens on port 1
    ASSERT_GT(proxy.port, 0);
    const int fd = connectTo(proxy.port);
    ASSERT_GE(fd, 0);
    sendAll(fd, "GET / HTTP/1.1\r\n\r\n");
    const auto start = Clock::now();
    const std::string got = readToEnd(fd);
    EXPECT_TRUE(got.empty());
    EXPECT_LT(since(start), 5.0);  // closed, not left waiting
    ::close(fd);
}

}  // namespace
