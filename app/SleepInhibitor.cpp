#include "app/SleepInhibitor.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QVariantMap>
#include <QThread>

#include <fcntl.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "app/SessionBus.h"
#include "support/BuildInfo.h"

namespace {
const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kLogindService = QStringLiteral("org.freedesktop.login1");
}  // namespace

SleepInhibitor::SleepInhibitor(QObject* parent) : QObject(parent) {}

SleepInhibitor::~SleepInhibitor() {
    wanted_ = false;
    letGo();
}

void SleepInhibitor::useSessionBus(const QDBusConnection& bus) { session_ = bus; }

void SleepInhibitor::useSystemBus(const QDBusConnection& bus) {
    system_ = bus;
    systemAsked_ = true;
}

QString SleepInhibitor::reasonFor(int files) {
    return tr("Downloading %n file(s)", nullptr, files);
}

QString SleepInhibitor::holder() const {
    if (!portalHandle_.isEmpty()) return QStringLiteral("portal");
    if (logindFd_) return QStringLiteral("logind");
    return {};
}

void SleepInhibitor::hold(const QString& reason) {
    wanted_ = true;
    reason_ = reason;
    if (asking_ || !holder().isEmpty()) return;
    asking_ = true;
    askPortal();
}

void SleepInhibitor::release() {
    wanted_ = false;
    letGo();
}

void SleepInhibitor::askPortal() {
    if (!session_ || !session_->isConnected()) return askLogind();
    QDBusMessage call = QDBusMessage::createMethodCall(kPortalService, QStringLiteral("/org/freedesktop/portal/desktop"),
                                                       QStringLiteral("org.freedesktop.portal.Inhibit"), QStringLiteral("Inhibit"));
    call << QString() << uint(kPortalSuspend) << QVariantMap{{QStringLiteral("reason"), reason_}};
    auto* watcher = new QDBusPendingCallWatcher(session_->asyncCall(call, kAnswerLimitMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        const QDBusPendingReply<QDBusObjectPath> reply = *watcher;
        // No portal (or one that refuses): logind is asked instead.
        if (reply.isError()) return askLogind();
        portalAnswered(reply.value().path());
    });
}

void SleepInhibitor::portalAnswered(const QString& handle) {
    asking_ = false;
    portalHandle_ = handle;
    if (!wanted_) return letGo();  // the run ended while the portal answered
    emit changed();
}

void SleepInhibitor::askLogind() {
    if (!systemAsked_) {
        // Connected off the window thread: a system bus that never answers costs the window nothing.
        systemAsked_ = true;
        static std::atomic<int> serial{0};
        const QString name = QStringLiteral("fetchwright-system-%1").arg(++serial);
        // The thread holds only what it shares with this object, under its lock (which the thread
        // sanitizer sees, unlike the hand-over of Qt's thread pool); the inhibitor may be gone
        // when it ends.
        struct Reached {
            std::mutex lock;
            std::optional<QDBusConnection> bus;
        };
        auto reached = std::make_shared<Reached>();
        QThread* thread = QThread::create([reached, name] {
            QByteArray address = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
            if (address.isEmpty()) address = "unix:path=/run/dbus/system_bus_socket";
            if (!SessionBus::Greets(address, kSystemBusGreetingLimitMs)) return;
            QDBusConnection bus = QDBusConnection::connectToBus(QString::fromLocal8Bit(address), name);
            if (!bus.isConnected()) {
                QDBusConnection::disconnectFromBus(name);
                return;
            }
            const std::lock_guard<std::mutex> hold(reached->lock);
            reached->bus = bus;
        });
        connect(thread, &QThread::finished, this, [this, reached] {
            std::optional<QDBusConnection> bus;
            {
                const std::lock_guard<std::mutex> hold(reached->lock);
                bus = reached->bus;
            }
            systemBusArrived(std::move(bus));
        });
        connect(thread, &QThread::finished, thread, &QObject::deleteLater);
        thread->start();
        return;
    }
    if (!system_ || !system_->isConnected() || !wanted_) {
        // Nobody to ask: the run goes on without an inhibitor.
        asking_ = false;
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kLogindService, QStringLiteral("/org/freedesktop/login1"),
                                                       QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep:idle") << QString::fromLatin1(BuildInfo::kApplication) << reason_ << QStringLiteral("block");
    auto* watcher = new QDBusPendingCallWatcher(system_->asyncCall(call, kAnswerLimitMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *watcher;
        int fd = -1;
        if (!reply.isError() && reply.value().isValid()) fd = ::fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
        logindAnswered(fd);
    });
}

void SleepInhibitor::systemBusArrived(std::optional<QDBusConnection> bus) {
    if (!system_) system_ = std::move(bus);
    if (asking_) askLogind();
}

void SleepInhibitor::logindAnswered(int fd) {
    asking_ = false;
    logindFd_.reset(fd);
    if (!wanted_) return letGo();
    if (logindFd_) emit changed();
}

void SleepInhibitor::letGo() {
    const bool held = !holder().isEmpty();
    if (!portalHandle_.isEmpty() && session_ && session_->isConnected()) {
        session_->send(QDBusMessage::createMethodCall(kPortalService, portalHandle_, QStringLiteral("org.freedesktop.portal.Request"),
                                                      QStringLiteral("Close")));
    }
    portalHandle_.clear();
    logindFd_.reset();
    if (held) emit changed();
}
