#include "app/DesktopSignals.h"

#include <QDBusMessage>
#include <QVariantMap>
#include <QWidget>

#include "support/Dialogs.h"

DesktopSignals::DesktopSignals(QWidget& window) : QObject(&window), window_(window) {
    setObjectName(QStringLiteral("DesktopSignals"));
    pending_.setSingleShot(true);
    connect(&pending_, &QTimer::timeout, this, &DesktopSignals::sendProgress);
}

void DesktopSignals::useBus(const QDBusConnection& bus) { bus_ = bus; }

QDBusConnection& DesktopSignals::bus() {
    if (!bus_) bus_ = QDBusConnection::sessionBus();
    return *bus_;
}

QString DesktopSignals::summaryLine(int items, int failed) {
    if (failed > 0) return QStringLiteral("%1 of %2 failed").arg(failed).arg(items);
    return items == 1 ? QStringLiteral("1 file stored") : QStringLiteral("%1 files stored").arg(items);
}

void DesktopSignals::runEnded(int items, int failed) {
    if (window_.isActiveWindow() || !bus().isConnected()) return;
    const QString product = QString::fromLatin1(Dialogs::kProductName);
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral("example.quillmoor.Fetchwright")}};
    // app name, id to replace, icon, summary, body, actions, hints, time-out (the server's own)
    call << product << 0u << QStringLiteral("example.quillmoor.Fetchwright") << summaryLine(items, failed)
         << QString() << QStringList() << hints << -1;
    bus().send(call);
}

void DesktopSignals::showProgress(double share, bool visible) {
    share_ = qBound(0.0, share, 1.0);
    visible_ = visible;
    if (visible_ != sentVisible_ || !sinceSent_.isValid() || sinceSent_.elapsed() >= kProgressIntervalMs) {
        sendProgress();
    } else if (share_ != sentShare_ && !pending_.isActive()) {
        pending_.start(int(kProgressIntervalMs - sinceSent_.elapsed()));
    }
}

void DesktopSignals::sendProgress() {
    pending_.stop();
    if (visible_ == sentVisible_ && (share_ == sentShare_ || !visible_)) return;
    sentShare_ = share_;
    sentVisible_ = visible_;
    sinceSent_.start();
    if (!bus().isConnected()) return;
    QDBusMessage update = QDBusMessage::createSignal(QLatin1String(kLauncherPath),
                                                     QStringLiteral("com.canonical.Unity.LauncherEntry"),
                                                     QStringLiteral("Update"));
    update << QLatin1String(kAppUri)
           << QVariantMap{{QStringLiteral("progress"), share_}, {QStringLiteral("progress-visible"), visible_}};
    bus().send(update);
}
