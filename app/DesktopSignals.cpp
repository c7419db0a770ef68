#include "app/DesktopSignals.h"

#include <QDBusMessage>
#include <QPointer>
#include <QThread>
#include <QVariantMap>
#include <QWidget>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "app/Dialogs.h"
#include "support/UniqueFd.h"

namespace {

// Does the bus at `address` greet within the limit? The start of the bus's own handshake
// (authentication), made on a socket of our own: a bus that accepts and never answers would
// otherwise hold the connecting thread, and with it every D-Bus call of the process, for good.
// Only local (unix) addresses are checked; another kind is not used.
bool BusGreets(const QByteArray& address, int limitMs) {
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

}  // namespace

struct DesktopSignals::Connecting {
    std::mutex lock;
    std::optional<QDBusConnection> bus;
};

DesktopSignals::DesktopSignals(QWidget& window) : QObject(&window), window_(window) {
    setObjectName(QStringLiteral("DesktopSignals"));
    pending_.setSingleShot(true);
    connect(&pending_, &QTimer::timeout, this, &DesktopSignals::sendProgress);
}

DesktopSignals::~DesktopSignals() {
    // No new connection is begun here: only a bus that is there gets the last word.
    if (running_ && bus_ && bus_->isConnected()) {
        running_ = false;
        sendProgress();
    }
}

void DesktopSignals::useBus(const QDBusConnection& bus) {
    bus_ = bus;
    busGivenUp_ = false;
}

QDBusConnection* DesktopSignals::bus() {
    if (bus_) return bus_->isConnected() ? &*bus_ : nullptr;
    if (busGivenUp_ || connecting_) return nullptr;
    const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    if (address.isEmpty()) {
        busGivenUp_ = true;
        return nullptr;
    }
    // The thread holds only what it shares with this object; the window may be gone when it ends.
    auto shared = std::make_shared<Connecting>();
    connecting_ = shared;
    static std::atomic<int> serial{0};
    const QString name = QStringLiteral("fetchwright-desktop-%1").arg(++serial);
    QThread* thread = QThread::create([shared, address, name] {
        if (!BusGreets(address, kBusGreetingLimitMs)) return;
        QDBusConnection bus = QDBusConnection::connectToBus(QString::fromLocal8Bit(address), name);
        const std::lock_guard<std::mutex> hold(shared->lock);
        shared->bus = bus;
    });
    connect(thread, &QThread::finished, this, &DesktopSignals::busArrived);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
    return nullptr;
}

void DesktopSignals::busArrived() {
    std::optional<QDBusConnection> arrived;
    if (connecting_) {
        const std::lock_guard<std::mutex> hold(connecting_->lock);
        arrived = connecting_->bus;
    }
    connecting_.reset();
    if (bus_) return;  // another bus was handed in meanwhile
    if (!arrived || !arrived->isConnected()) {
        busGivenUp_ = true;
        return;
    }
    bus_ = arrived;
    if (endWaiting_) {
        const auto [items, failed] = *endWaiting_;
        endWaiting_.reset();
        notifyEnd(items, failed);
    }
    // The share as it is now; what was sent meanwhile never left.
    sentShare_ = -1.0;
    sentVisible_ = false;
    if (running_) sendProgress();
}

QString DesktopSignals::summaryLine(int items, int failed) {
    if (failed > 0) return QStringLiteral("%1 of %2 failed").arg(failed).arg(items);
    return items == 1 ? QStringLiteral("1 file stored") : QStringLiteral("%1 files stored").arg(items);
}

void DesktopSignals::runStarted() {
    running_ = true;
    share_ = 0.0;
    sendProgress();
}

void DesktopSignals::showProgress(double share) {
    if (!running_) return;
    share_ = qBound(0.0, share, 1.0);
    if (pending_.isActive()) return;
    if (!sinceSent_.isValid() || sinceSent_.elapsed() >= kProgressIntervalMs) sendProgress();
    else if (share_ != sentShare_) pending_.start(int(kProgressIntervalMs - sinceSent_.elapsed()));
}

void DesktopSignals::runEnded(int items, int failed) {
    if (running_) {
        running_ = false;
        sendProgress();
    }
    if (!window_.isActiveWindow()) notifyEnd(items, failed);
}

void DesktopSignals::notifyEnd(int items, int failed) {
    QDBusConnection* connection = bus();
    if (!connection) {
        if (connecting_) endWaiting_ = std::make_pair(items, failed);
        return;
    }
    const QString product = QString::fromLatin1(Dialogs::kProductName);
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral("example.quillmoor.Fetchwright")}};
    // app name, id to replace, icon, summary, body, actions, hints, time-out (the server's own)
    call << product << 0u << QStringLiteral("example.quillmoor.Fetchwright") << summaryLine(items, failed)
         << QString() << QStringList() << hints << -1;
    connection->send(call);
}

void DesktopSignals::sendProgress() {
    pending_.stop();
    if (running_ == sentVisible_ && (!running_ || share_ == sentShare_)) return;
    sentShare_ = share_;
    sentVisible_ = running_;
    sinceSent_.start();
    QDBusConnection* connection = bus();
    if (!connection) return;
    QDBusMessage update = QDBusMessage::createSignal(QLatin1String(kLauncherPath),
                                                     QStringLiteral("com.canonical.Unity.LauncherEntry"),
                                                     QStringLiteral("Update"));
    update << QLatin1String(kAppUri)
           << QVariantMap{{QStringLiteral("progress"), share_}, {QStringLiteral("progress-visible"), running_}};
    connection->send(update);
}
