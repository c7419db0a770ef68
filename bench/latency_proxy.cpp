// A TCP proxy that makes loopback look like a long link: every chunk read from one side is
// written to the other half a round trip after it arrived, and each direction's bytes, summed
// over all connections as on one link, pass a token bucket of the given bandwidth. Bytes are
// forwarded untouched (https goes through as it is).
//
//   latency_proxy --listen PORT --upstream PORT [--rtt-ms 40] [--mbit 200] [--buffer-kb K]
//                 [--realtime]
//
// --listen 0 picks a free port. Once listening, the proxy prints "listening on 127.0.0.1:PORT"
// on its standard output; on SIGTERM or SIGINT it prints to standard error how late, past its
// half round trip, it wrote the chunks that waited for nothing else, and ends. On SIGUSR1 it prints
// on its standard output "connections N, at once M": the connections accepted since the last such
// line, and the most open at one moment, then counts afresh. --mbit 0 is no cap. The TCP handshake itself is not delayed: a client's
// connect completes at once, its first bytes then wait half a round trip like all others.
// --realtime asks for real-time scheduling: on a busy machine an ordinary process wakes some
// milliseconds late, which would lengthen every round trip; a real link does not wait for a CPU.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <list>
#include <string>
#include <vector>

namespace {

int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}


sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// One direction of the link, shared by every connection.
struct Bucket {
    double bytesPerNs = 0;  // 0: no cap
    double burst = 0;
    double tokens = 0;
    int64_t refilledNs = 0;

    void refill(int64_t now) {
        if (bytesPerNs <= 0) return;
        tokens = std::min(burst, tokens + double(now - refilledNs) * bytesPerNs);
        refilledNs = now;
    }
    size_t allowance(size_t wanted) const {
        if (bytesPerNs <= 0) return wanted;
        return std::min(wanted, size_t(std::max(0.0, tokens)));
    }
    void spend(size_t n) {
        if (bytesPerNs > 0) tokens -= double(n);
    }
    // When `n` bytes, or a quantum well below the burst, will be allowed: waiting for a full
    // bucket would waste whatever accrues while the wake-up is late.
    int64_t readyAtNs(int64_t now, size_t n) const {
        const double need = std::min({double(n), burst / 8, 32.0 * 1024}) - tokens;
        return need <= 0 || bytesPerNs <= 0 ? now : now + int64_t(need / bytesPerNs) + 1;
    }
};

struct Chunk {
    int64_t dueNs = 0;
    std::string data;
    size_t sent = 0;
    bool end = false;    // the source closed its sending side after the data before this
    bool reset = false;  // ... with an error: the other side is dropped rather than half-closed
    bool alone = false;  // nothing was queued ahead of it when it arrived
    bool counted = false;
};

struct Connection;

// What an epoll event points at.
struct Handle {
    Connection* conn = nullptr;
    bool upstreamSide = false;
};

struct Direction {
    Connection* conn = nullptr;
    Bucket* bucket = nullptr;
    int from = -1, to = -1;
    std::deque<Chunk> queue;
    size_t queuedBytes = 0;
    bool sourceEnded = false;  // read everything from `from`
    bool endPassed = false;    // `to` was shut down for writing
    bool writeBlocked = false;  // `to` would block; wait until it is writable
};

struct Connection {
    int client = -1, upstream = -1;
    bool connected = false;  // the upstream connect has completed
    bool closed = false;
    Direction up, down;      // client to upstream, upstream to client
    uint32_t clientMask = 0, upstreamMask = 0;
    Handle clientTag, upstreamTag;
};

class Proxy {
public:
    Proxy(int upstreamPort, double rttMs, double mbit, size_t bufferBytes)
        : upstreamPort_(upstreamPort), halfRttNs_(int64_t(rttMs * 1e6 / 2)), bufferBytes_(bufferBytes) {
        for (Bucket* b : {&upBucket_, &downBucket_}) {
            b->bytesPerNs = mbit * 1e6 / 8 / 1e9;
            // Deep enough that a wake-up a few ms late loses no tokens, shallow enough (10 ms of
            // the link) that the cap stays a pace.
            b->burst = std::max(256.0 * 1024, b->bytesPerNs * 10e6);
            b->tokens = b->burst;
            b->refilledNs = nowNs();
        }
    }

    bool listen(int port) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a = loopback(port);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 256) != 0) {
            std::perror("latency_proxy: listen");
            return false;
        }
        socklen_t len = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = &listenerTag_;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_, &ev);
        ev.data.ptr = &timerTag_;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, timer_, &ev);
        sigset_t stops;
        sigemptyset(&stops);
        sigaddset(&stops, SIGTERM);
        sigaddset(&stops, SIGINT);
        sigaddset(&stops, SIGUSR1);
        sigprocmask(SIG_BLOCK, &stops, nullptr);
        signals_ = signalfd(-1, &stops, SFD_NONBLOCK | SFD_CLOEXEC);
        ev.data.ptr = &signalTag_;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, signals_, &ev);
        std::printf("listening on 127.0.0.1:%d\n", ntohs(a.sin_port));
        std::fflush(stdout);
        return true;
    }

    void run() {
        epoll_event events[64];
        for (;;) {
            const int64_t wake = pump();
            armTimer(wake);
            for (Connection& c : connections_) updateInterest(c);
            connections_.remove_if([](const Connection& c) { return c.closed; });
            const int n = epoll_wait(epoll_, events, 64, -1);
            for (int k = 0; k < n; ++k) {
                void* tag = events[k].data.ptr;
                if (tag == &signalTag_) {
                    signalfd_siginfo info{};
                    if (::read(signals_, &info, sizeof info) == sizeof info && info.ssi_signo == SIGUSR1) {
                        reportConnections();
                        continue;
                    }
                    std::fprintf(stderr,
                                 "latency_proxy: %lld chunks written %.3f ms after due on average, %.3f ms at most; "
                                 "%lld more waited behind others or for the bandwidth cap\n",
                                 chunks_, chunks_ ? lateNsSum_ / 1e6 / double(chunks_) : 0.0, lateNsMax_ / 1e6,
                                 heldByCap_);
                    return;
                }
                if (tag == &listenerTag_) acceptAll();
                else if (tag == &timerTag_) {
                    uint64_t expirations;
                    while (::read(timer_, &expirations, sizeof expirations) > 0) {
                    }
                } else {
                    auto* h = static_cast<Handle*>(tag);
                    onEvent(*h->conn, h->upstreamSide, events[k].events);
                }
            }
        }
    }

private:
    void reportConnections() {
        std::printf("connections %lld, at once %lld\n", accepted_, mostOpen_);
        std::fflush(stdout);
        accepted_ = 0;
        mostOpen_ = openNow();
    }
    long long openNow() const {
        long long open = 0;
        for (const Connection& c : connections_) open += c.closed ? 0 : 1;
        return open;
    }

    void acceptAll() {
        for (;;) {
            const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) return;
            const int up = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in a = loopback(upstreamPort_);
            const int rc = ::connect(up, reinterpret_cast<sockaddr*>(&a), sizeof a);
            if (rc != 0 && errno != EINPROGRESS) {
                ::close(fd);
                ::close(up);
                continue;
            }
            const int one = 1;
            // The proxy already chooses when bytes leave; Nagle would add its own wait on top.
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            setsockopt(up, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            connections_.emplace_back();
            Connection& c = connections_.back();
            c.client = fd;
            c.upstream = up;
            c.connected = rc == 0;
            c.up = Direction{&c, &upBucket_, fd, up, {}, 0, false, false, false};
            c.down = Direction{&c, &downBucket_, up, fd, {}, 0, false, false, false};
            c.clientTag = Handle{&c, false};
            c.upstreamTag = Handle{&c, true};
            ++accepted_;
            mostOpen_ = std::max(mostOpen_, openNow());
        }
    }

    void onEvent(Connection& c, bool upstreamSide, uint32_t events) {
        if (c.closed) return;
        const int fd = upstreamSide ? c.upstream : c.client;
        if (upstreamSide && !c.connected && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0) return closeConnection(c, true);
            c.connected = true;
        }
        Direction& reading = upstreamSide ? c.down : c.up;  // the direction that reads this fd
        Direction& writing = upstreamSide ? c.up : c.down;  // the direction that writes it
        if (events & EPOLLOUT) writing.writeBlocked = false;
        if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) readFrom(reading);
    }

    void readFrom(Direction& d) {
        while (!d.sourceEnded && d.queuedBytes < bufferBytes_) {
            Chunk chunk;
            chunk.data.resize(64 * 1024);
            const ssize_t n = ::recv(d.from, chunk.data.data(), chunk.data.size(), 0);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
            if (n < 0 && errno == EINTR) continue;
            chunk.dueNs = nowNs() + halfRttNs_;
            if (n <= 0) {
                chunk.data.clear();
                chunk.end = true;
                chunk.reset = n < 0;
                d.sourceEnded = true;
            } else {
                chunk.data.resize(size_t(n));
                d.queuedBytes += size_t(n);
            }
            chunk.alone = d.queue.empty();
            d.queue.push_back(std::move(chunk));
        }
    }

    // Writes whatever is due and allowed, earliest chunks first across connections, as one link
    // would; returns when next to look again (0: nothing waits on time).
    int64_t pump() {
        const int64_t now = nowNs();
        upBucket_.refill(now);
        downBucket_.refill(now);
        int64_t wake = 0;
        auto later = [&](int64_t t) { wake = wake == 0 ? t : std::min(wake, t); };
        std::vector<Direction*> due;
        for (Connection& c : connections_)
            for (Direction* d : {&c.up, &c.down}) {
                if (c.closed || d->queue.empty() || d->writeBlocked || !c.connected) continue;
                if (d->queue.front().dueNs <= now) due.push_back(d);
                else later(d->queue.front().dueNs);
            }
        std::sort(due.begin(), due.end(),
                  [](const Direction* a, const Direction* b) { return a->queue.front().dueNs < b->queue.front().dueNs; });
        for (Direction* d : due) {
            while (!d->conn->closed && !d->queue.empty() && !d->writeBlocked && d->queue.front().dueNs <= now) {
                Chunk& chunk = d->queue.front();
                if (chunk.end) {
                    if (chunk.reset) {
                        closeConnection(*d->conn, true);
                        break;
                    }
                    ::shutdown(d->to, SHUT_WR);
                    d->endPassed = true;
                    d->queue.pop_front();
                    if (d->conn->up.endPassed && d->conn->down.endPassed) closeConnection(*d->conn, false);
                    break;
                }
                const size_t left = chunk.data.size() - chunk.sent;
                const size_t allowed = d->bucket->allowance(left);
                // The timer's own precision: chunks that waited behind others or for the cap
                // are late by design and counted apart.
                if (chunk.sent == 0 && !chunk.counted) {
                    chunk.counted = true;
                    if (allowed < left || !chunk.alone) ++heldByCap_;
                    else {
                        ++chunks_;
                        lateNsSum_ += double(now - chunk.dueNs);
                        lateNsMax_ = std::max(lateNsMax_, now - chunk.dueNs);
                    }
                }
                if (allowed == 0) {
                    later(d->bucket->readyAtNs(now, left));
                    break;
                }
                const ssize_t n = ::send(d->to, chunk.data.data() + chunk.sent, allowed, MSG_NOSIGNAL);
                if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                    d->writeBlocked = true;
                    break;
                }
                if (n < 0) {
                    closeConnection(*d->conn, true);
                    break;
                }
                d->bucket->spend(size_t(n));
                chunk.sent += size_t(n);
                d->queuedBytes -= size_t(n);
                if (chunk.sent == chunk.data.size()) d->queue.pop_front();
                else if (size_t(n) < allowed) d->writeBlocked = true;
            }
        }
        for (Direction* d : due)
            if (!d->conn->closed && !d->queue.empty() && !d->writeBlocked) {
                const Chunk& head = d->queue.front();
                if (head.dueNs > now) later(head.dueNs);
                else later(d->bucket->readyAtNs(now, head.data.size() - head.sent));
            }
        return wake;
    }

    void armTimer(int64_t wakeNs) {
        itimerspec spec{};
        if (wakeNs > 0) {
            spec.it_value.tv_sec = wakeNs / 1000000000;
            spec.it_value.tv_nsec = wakeNs % 1000000000;
            if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0) spec.it_value.tv_nsec = 1;
        }
        timerfd_settime(timer_, TFD_TIMER_ABSTIME, &spec, nullptr);
    }

    // An fd is in the epoll set only while something waits on it, so that a peer that hung up
    // while its reading is paused does not wake the loop over and over.
    void updateInterest(Connection& c) {
        if (c.closed) return;
        auto mask = [&](const Direction& reading, const Direction& writing, bool connecting) {
            uint32_t m = 0;
            if (!reading.sourceEnded && reading.queuedBytes < bufferBytes_) m |= EPOLLIN;
            if (writing.writeBlocked || connecting) m |= EPOLLOUT;
            return m;
        };
        setMask(c.client, c.clientMask, mask(c.up, c.down, false), &c.clientTag);
        setMask(c.upstream, c.upstreamMask, mask(c.down, c.up, !c.connected), &c.upstreamTag);
    }

    void setMask(int fd, uint32_t& current, uint32_t wanted, Handle* tag) {
        if (current == wanted) return;
        epoll_event ev{};
        ev.events = wanted;
        ev.data.ptr = tag;
        if (wanted == 0) epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
        else epoll_ctl(epoll_, current == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &ev);
        current = wanted;
    }

    void closeConnection(Connection& c, bool abort) {
        if (c.closed) return;
        for (int fd : {c.client, c.upstream}) {
            if (abort) {
                // A reset on the other side too, as an error would look across a real link.
                linger l{1, 0};
                setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            }
            ::close(fd);  // also takes it out of the epoll set
        }
        c.closed = true;
        c.up.queue.clear();
        c.down.queue.clear();
    }

    int upstreamPort_;
    int64_t halfRttNs_;
    size_t bufferBytes_;
    Bucket upBucket_, downBucket_;
    int listener_ = -1, epoll_ = -1, timer_ = -1;
    int signals_ = -1;
    char listenerTag_ = 0, timerTag_ = 0, signalTag_ = 0;
    long long chunks_ = 0, heldByCap_ = 0;
    long long accepted_ = 0, mostOpen_ = 0;
    double lateNsSum_ = 0;
    int64_t lateNsMax_ = 0;
    std::list<Connection> connections_;
};

void usage() {
    std::fprintf(stderr,
                 "usage: latency_proxy --listen PORT --upstream PORT [--rtt-ms MS] [--mbit MBIT] [--buffer-kb KB]\n"
                 "                     [--realtime]\n");
}

}  // namespace

int main(int argc, char** argv) {
    int listenPort = -1, upstreamPort = -1;
    double rttMs = 40, mbit = 200, bufferKb = 0;
    bool realtime = false;
    for (int k = 1; k < argc; ++k) {
        if (!std::strcmp(argv[k], "--realtime")) {
            realtime = true;
            continue;
        }
        const char* value = k + 1 < argc ? argv[k + 1] : nullptr;
        if (!value) return usage(), 2;
        if (!std::strcmp(argv[k], "--listen")) listenPort = std::atoi(value);
        else if (!std::strcmp(argv[k], "--upstream")) upstreamPort = std::atoi(value);
        else if (!std::strcmp(argv[k], "--rtt-ms")) rttMs = std::atof(value);
        else if (!std::strcmp(argv[k], "--mbit")) mbit = std::atof(value);
        else if (!std::strcmp(argv[k], "--buffer-kb")) bufferKb = std::atof(value);
        else return usage(), 2;
        ++k;
    }
    if (listenPort < 0 || upstreamPort <= 0 || rttMs < 0 || mbit < 0) return usage(), 2;
    // Each connection may hold a round trip's worth of the link's bytes in each direction and
    // more, so that the cap, not this buffer, limits a single transfer.
    if (bufferKb <= 0) bufferKb = std::max(1024.0, mbit * 1e6 / 8 * rttMs / 1e3 * 2 / 1024);
    if (realtime) {
        sched_param param{};
        param.sched_priority = 10;
        if (sched_setscheduler(0, SCHED_FIFO, &param) != 0)
            std::perror("latency_proxy: no real-time scheduling, round trips may stretch on a busy machine");
    }
    Proxy proxy(upstreamPort, rttMs, mbit, size_t(bufferKb * 1024));
    if (!proxy.listen(listenPort)) return 1;
    proxy.run();
}
