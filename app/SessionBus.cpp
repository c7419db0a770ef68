#include "app/SessionBus.h"

#include <QFileInfo>

#include <cerrno>
#include <chrono>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "support/UniqueFd.h"

namespace SessionBus {

bool Greets(const QByteArray& address, int limitMs) {
    for (const QByteArray& one : address.split(';')) {
        if (!one.startsWith("unix:")) continue;
        QByteArray path;
        bool abstract = false;
        for (const QByteArray& pair : one.mid(5).split(',')) {
            if (pair.startsWith("path=")) path = QByteArray::fromPercentEncoding(pair.mid(5));
            else if (pair.startsWith("abstract=")) {
                path = QByteArray::fromPercentEncoding(pair.mid(9));
                abstract = true;
            }
        }
        sockaddr_un at{};
        at.sun_family = AF_UNIX;
        const qsizetype offset = abstract ? 1 : 0;
        if (path.isEmpty() || path.size() + offset >= qsizetype(sizeof at.sun_path)) continue;
        memcpy(at.sun_path + offset, path.constData(), size_t(path.size()));
        const socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + offset + path.size() + (abstract ? 0 : 1));
        Fw::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!fd || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&at), length) != 0) continue;
        const QByteArray uid = QByteArray::number(uint(::getuid())).toHex();
        const QByteArray hello = QByteArray(1, '\0') + "AUTH EXTERNAL " + uid + "\r\n";
        if (::send(fd.get(), hello.constData(), size_t(hello.size()), MSG_NOSIGNAL) != hello.size()) continue;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        QByteArray answer;
        while (!answer.contains('\n')) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd.get(), POLLIN, 0};
            const int ready = ::poll(&p, 1, int(left.count()));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return false;
            char buffer[256];
            const ssize_t got = ::recv(fd.get(), buffer, sizeof buffer, 0);
            if (got <= 0) return false;
            answer.append(buffer, got);
        }
        return answer.startsWith("OK ");
    }
    return false;
}


std::optional<QDBusConnection> Connect(const QString& name, int limitMs) {
    QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    if (address.isEmpty()) {
        // Where systemd's user session keeps the bus when nobody exported its address.
        const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
        if (runtime.isEmpty() || !QFileInfo(runtime + QStringLiteral("/bus")).exists()) return std::nullopt;
        address = "unix:path=" + QFile::encodeName(runtime + QStringLiteral("/bus"));
    }
    if (!Greets(address, limitMs)) return std::nullopt;
    QDBusConnection bus = QDBusConnection::connectToBus(QString::fromLocal8Bit(address), name);
    if (!bus.isConnected()) {
        QDBusConnection::disconnectFromBus(name);
        return std::nullopt;
    }
    return bus;
}

}  // namespace SessionBus
