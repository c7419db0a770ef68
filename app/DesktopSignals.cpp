#include "app/DesktopSignals.h"

#include <QDBusMessage>
#include <QPointer>
#include <QThread>
#include <QVariantMap>
#include <QWidget>

#include <atomic>
#include <mutex>

#include "app/Dialogs.h"
#include "app/Form1.h"
#include "app/SleepInhibitor.h"
#include "app/SessionBus.h"


struct DesktopSignals::Connecting {
    std::mutex lock;
    std::optional<QDBusConnection> bus;
};

DesktopSignals::DesktopSignals(QWidget& window) : QObject(&window), window_(window) {
    setObjectName(QStringLiteral("DesktopSignals"));
    pending_.setSingleShot(true);
    connect(&pending_, &QTimer::timeout, this, &DesktopSignals::sendProgress);
    inhibitor_ = new SleepInhibitor(this);
    // A closing window lets the computer sleep at once, before its run has wound down.
    if (auto* form = qobject_cast<Form1*>(&window))
        connect(form, &Form1::aboutToClose, this, [this] {
            awakeReason_.clear();
            inhibitor_->release();
        });
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
    inhibitor_->useSessionBus(bus);
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
        if (!SessionBus::Greets(address, kBusGreetingLimitMs)) return;
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
        keepAwake();
        return;
    }
    bus_ = arrived;
    inhibitor_->useSessionBus(*arrived);
    keepAwake();
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
    if (failed > 0) return tr("%1 of %2 failed").arg(failed).arg(items);
    return tr("%n file(s) stored", nullptr, items);
}

void DesktopSignals::runStarted() {
    running_ = true;
    share_ = 0.0;
    awakeReason_.clear();
    if (auto* form = qobject_cast<Form1*>(&window_); form && RunOptions::Read(form->settings()).keepAwake)
        awakeReason_ = SleepInhibitor::reasonFor(form->urlList().count());
    sendProgress();
    keepAwake();
}

void DesktopSignals::keepAwake() {
    if (awakeReason_.isEmpty() || !running_) return;
    // The portal is on the session bus: while that is being reached, busArrived() comes back here.
    if (!bus_ && !busGivenUp_) {
        bus();
        if (connecting_) return;
    }
    inhibitor_->hold(awakeReason_);
}

void DesktopSignals::showProgress(double share) {
    if (!running_) return;
    share_ = qBound(0.0, share, 1.0);
    if (pending_.isActive()) return;
    if (!sinceSent_.isValid() || sinceSent_.elapsed() >= kProgressIntervalMs) sendProgress();
    else if (share_ != sentShare_) pending_.start(int(kProgressIntervalMs - sinceSent_.elapsed()));
}

void DesktopSignals::runEnded(int items, int failed) {
    awakeReason_.clear();
    inhibitor_->release();
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
