#include "harness/LoopbackProxy.h"

#include <QString>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool SendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        data += sent;
        size -= size_t(sent);
    }
    return true;
}

bool ReadExactly(int fd, unsigned char* into, size_t size) {
    while (size > 0) {
        const ssize_t got = ::recv(fd, into, size, 0);
        if (got <= 0) return false;
        into += got;
        size -= size_t(got);
    }
    return true;
}

// A connection to `host`:`port`, loopback only; -1 when refused or not loopback.
int ConnectLoopback(const QByteArray& host, int port) {
    QByteArray numeric = host;
    if (numeric == "localhost") numeric = "127.0.0.1";
    if (numeric.startsWith('[') && numeric.endsWith(']')) numeric = numeric.mid(1, numeric.size() - 2);
    sockaddr_storage at{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&at);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&at);
    if (::inet_pton(AF_INET, numeric.constData(), &v4->sin_addr) == 1) {
        if ((ntohl(v4->sin_addr.s_addr) >> 24) != 127) return -1;
        v4->sin_family = AF_INET;
        v4->sin_port = htons(uint16_t(port));
        length = sizeof *v4;
    } else if (::inet_pton(AF_INET6, numeric.constData(), &v6->sin6_addr) == 1) {
        if (!IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr)) return -1;
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(uint16_t(port));
        length = sizeof *v6;
    } else {
        return -1;
    }
    const int fd = ::socket(at.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&at), length) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Copies both ways until either side ends.
void Relay(int a, int b) {
    char buffer[16384];
    pollfd both[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    for (;;) {
        if (::poll(both, 2, 30000) <= 0) return;
        for (int k = 0; k < 2; ++k) {
            if (!(both[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t got = ::recv(both[k].fd, buffer, sizeof buffer, 0);
            if (got <= 0 || !SendAll(both[1 - k].fd, buffer, size_t(got))) return;
        }
    }
}

// "host:port" into its parts; the port 0 when there is none.
void SplitHostPort(const QByteArray& text, QByteArray& host, int& port) {
    const qsizetype colon = text.lastIndexOf(':');
    const qsizetype bracket = text.lastIndexOf(']');
    if (colon > bracket) {
        host = text.left(colon);
        port = text.mid(colon + 1).toInt();
    } else {
        host = text;
        port = 0;
    }
}

}  // namespace

LoopbackProxy::LoopbackProxy(Kind kind) : kind_(kind) {}

LoopbackProxy::~LoopbackProxy() {
    stopping_ = true;
    if (listener_ >= 0) ::shutdown(listener_, SHUT_RDWR);
    if (acceptor_.joinable()) acceptor_.join();
    if (listener_ >= 0) ::close(listener_);
    {
        const std::lock_guard<std::mutex> hold(lock_);
        for (int fd : openFds_) ::shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& client : clients_) client.join();
    for (int fd : openFds_) ::close(fd);
}

bool LoopbackProxy::start() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) return false;
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&at), length) != 0 || ::listen(listener_, 64) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&at), &length) != 0)
        return false;
    port_ = ntohs(at.sin_port);
    acceptor_ = std::thread([this] { serve(); });
    return true;
}

QString LoopbackProxy::url() const {
    return QStringLiteral("%1://127.0.0.1:%2").arg(kind_ == Kind::Http ? QStringLiteral("http") : QStringLiteral("socks5h")).arg(port_);
}

QStringList LoopbackProxy::asked() const {
    const std::lock_guard<std::mutex> hold(const_cast<std::mutex&>(lock_));
    return asked_;
}

void LoopbackProxy::note(const QString& line) {
    const std::lock_guard<std::mutex> hold(lock_);
    asked_ << line;
}

void LoopbackProxy::serve() {
    while (!stopping_) {
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (stopping_ || (errno != EINTR && errno != ECONNABORTED)) return;
            continue;
        }
        const std::lock_guard<std::mutex> hold(lock_);
        openFds_.push_back(client);
        clients_.emplace_back([this, client] { handle(client); });
    }
}

void LoopbackProxy::handle(int client) {
    if (kind_ == Kind::Http) handleHttp(client);
    else handleSocks(client);
    ::shutdown(client, SHUT_RDWR);
}

void LoopbackProxy::handleHttp(int client) {
    // The request head, byte by byte: what follows it belongs to the tunnel or the body.
    QByteArray head;
    char c;
    while (!head.endsWith("\r\n\r\n")) {
        if (::recv(client, &c, 1, 0) != 1 || head.size() > 65536) return;
        head.append(c);
    }
    const qsizetype lineEnd = head.indexOf("\r\n");
    const QList<QByteArray> request = head.left(lineEnd).split(' ');
    if (request.size() != 3) return;
    const QByteArray& method = request[0];
    const QByteArray& target = request[1];
    if (method == "CONNECT") {
        note(QStringLiteral("CONNECT %1").arg(QString::fromLatin1(target)));
        if (const int status = refuseTunnels.load()) {
            const QByteArray answer = "HTTP/1.1 " + QByteArray::number(status) + " Refused\r\nContent-Length: 0\r\n\r\n";
            SendAll(client, answer.constData(), size_t(answer.size()));
            return;
        }
        QByteArray host;
        int port = 0;
        SplitHostPort(target, host, port);
        const int upstream = ConnectLoopback(host, port);
        if (upstream < 0) {
            const QByteArray answer = "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n";
            SendAll(client, answer.constData(), size_t(answer.size()));
            return;
        }
        const QByteArray answer = "HTTP/1.1 200 Connection established\r\n\r\n";
        if (SendAll(client, answer.constData(), size_t(answer.size()))) Relay(client, upstream);
        ::close(upstream);
        return;
    }
    // An absolute-form request: forwarded in origin form on a connection of its own.
    note(QStringLiteral("%1 %2").arg(QString::fromLatin1(method), QString::fromLatin1(target)));
    if (!target.startsWith("http://")) return;
    const qsizetype pathAt = target.indexOf('/', 7);
    const QByteArray authority = target.mid(7, pathAt < 0 ? -1 : pathAt - 7);
    const QByteArray path = pathAt < 0 ? QByteArray("/") : target.mid(pathAt);
    QByteArray host;
    int port = 80;
    SplitHostPort(authority, host, port);
    const int upstream = ConnectLoopback(host, port ? port : 80);
    if (upstream < 0) {
        const QByteArray answer = "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        SendAll(client, answer.constData(), size_t(answer.size()));
        return;
    }
    QByteArray forwarded = method + ' ' + path + ' ' + request[2] + "\r\n";
    for (const QByteArray& line : head.mid(lineEnd + 2).split('\n')) {
        const QByteArray field = line.trimmed();
        if (field.isEmpty()) continue;
        const QByteArray name = field.left(field.indexOf(':')).toLower();
        if (name == "proxy-connection" || name == "connection") continue;
        forwarded += field + "\r\n";
    }
    // One request a connection: the next may be for another server.
    forwarded += "Connection: close\r\n\r\n";
    if (SendAll(upstream, forwarded.constData(), size_t(forwarded.size()))) Relay(client, upstream);
    ::close(upstream);
}

void LoopbackProxy::handleSocks(int client) {
    unsigned char greeting[2];
    if (!ReadExactly(client, greeting, 2) || greeting[0] != 5) return;
    std::vector<unsigned char> methods(greeting[1]);
    if (!methods.empty() && !ReadExactly(client, methods.data(), methods.size())) return;
    const unsigned char noAuth[2] = {5, 0};
    if (!SendAll(client, reinterpret_cast<const char*>(noAuth), 2)) return;
    unsigned char request[4];
    if (!ReadExactly(client, request, 4) || request[0] != 5 || request[1] != 1) return;
    QByteArray host;
    if (request[3] == 1) {
        unsigned char v4[4];
        if (!ReadExactly(client, v4, 4)) return;
        host = QByteArray::number(v4[0]) + '.' + QByteArray::number(v4[1]) + '.' + QByteArray::number(v4[2]) + '.' +
               QByteArray::number(v4[3]);
    } else if (request[3] == 3) {
        unsigned char length;
        if (!ReadExactly(client, &length, 1)) return;
        host.resize(length);
        if (!ReadExactly(client, reinterpret_cast<unsigned char*>(host.data()), length)) return;
    } else {
        return;
    }
    unsigned char portBytes[2];
    if (!ReadExactly(client, portBytes, 2)) return;
    const int port = portBytes[0] << 8 | portBytes[1];
    note(QStringLiteral("SOCKS %1:%2").arg(QString::fromLatin1(host)).arg(port));
    const int upstream = ConnectLoopback(host, port);
    // 0 succeeded, 5 connection refused; the bound address is not told.
    const unsigned char answer[10] = {5, static_cast<unsigned char>(upstream < 0 ? 5 : 0), 0, 1, 0, 0, 0, 0, 0, 0};
    if (SendAll(client, reinterpret_cast<const char*>(answer), sizeof answer) && upstream >= 0) Relay(client, upstream);
    if (upstream >= 0) ::close(upstream);
}
