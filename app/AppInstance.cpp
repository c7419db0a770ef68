#include "app/AppInstance.h"
#include "app/X11Activation.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QUrl>
#include <QWidget>
#include <QWindow>

#include "app/ErrorTrap.h"
#include "app/Form1.h"
#include "listbuild/Sequences.h"
#include "listbuild/UserAddress.h"
#include "support/BuildInfo.h"

namespace AppInstance {

namespace {

bool WrittenAsPath(const QString& argument) {
    return argument.startsWith(QLatin1Char('/')) || argument.startsWith(QLatin1String("./")) ||
           argument.startsWith(QLatin1String("../")) || argument == QLatin1String(".") ||
           argument == QLatin1String("..") || argument.startsWith(QLatin1Char('~'));
}

bool IsFileAddress(const QString& entry) { return entry.startsWith(QLatin1String("file:"), Qt::CaseInsensitive); }

}  // namespace

QStringList EntriesOfArguments(const QStringList& arguments, const QString& workingFolder) {
    QStringList entries;
    const QDir here(workingFolder);
    for (const QString& argument : arguments) {
        if (argument.isEmpty()) continue;
        if (IsFileAddress(argument)) {
            entries << argument;
            continue;
        }
        QString path = argument;
        if (path == QLatin1String("~") || path.startsWith(QLatin1String("~/"))) path = QDir::homePath() + path.mid(1);
        // An entry of the folder (a broken link too) is a file; "example.com" names none.
        const QFileInfo entry(here, path);
        if (WrittenAsPath(argument) || entry.exists() || entry.isSymLink())
            entries << QUrl::fromLocalFile(QDir::cleanPath(entry.absoluteFilePath())).toString(QUrl::FullyEncoded);
        else
            entries << argument;
    }
    return entries;
}

QVariantMap PlatformDataOfEnvironment() {
    QVariantMap data;
    const QString wayland = qEnvironmentVariable("XDG_ACTIVATION_TOKEN");
    const QString x11 = qEnvironmentVariable("DESKTOP_STARTUP_ID");
    if (!wayland.isEmpty()) data.insert(QStringLiteral("activation-token"), wayland);
    if (!x11.isEmpty()) data.insert(QStringLiteral("desktop-startup-id"), x11);
    return data;
}

namespace {
QString TokenOf(const QVariantMap& platformData) {
    const QString token = platformData.value(QStringLiteral("activation-token")).toString();
    return token.isEmpty() ? platformData.value(QStringLiteral("desktop-startup-id")).toString() : token;
}
}  // namespace

void Service::Activate(const QVariantMap& platformData) {
    QMetaObject::invokeMethod(this, [this, token = TokenOf(platformData)] { emit activated(token); }, Qt::QueuedConnection);
}

void Service::Open(const QStringList& uris, const QVariantMap& platformData) {
    QMetaObject::invokeMethod(this, [this, uris, token = TokenOf(platformData)] { emit opened(uris, token); },
                              Qt::QueuedConnection);
}

void Service::ActivateAction(const QString& action, const QVariantList& parameter, const QVariantMap& platformData) {
    // The entry offers no actions of its own: any is an activation.
    (void)action, (void)parameter;
    Activate(platformData);
}

Start ClaimOrHandOver(QDBusConnection& bus, Service& service, const QStringList& entries,
                      const QVariantMap& platformData, int limitMs) {
    if (!bus.isConnected() || !bus.interface()) return Start::Alone;
    const QString name = QString::fromLatin1(BuildInfo::kAppId);
    const QString path = QString::fromLatin1(kObjectPath);
    // The object is there before the name, so that no call finds the name without it.
    if (!bus.registerObject(path, &service, QDBusConnection::ExportAllSlots)) return Start::Alone;
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> claimed =
        bus.interface()->registerService(name, QDBusConnectionInterface::DontQueueService,
                                         QDBusConnectionInterface::DontAllowReplacement);
    if (claimed.isValid() && claimed.value() == QDBusConnectionInterface::ServiceRegistered) return Start::First;
    bus.unregisterObject(path);

    QDBusMessage call = QDBusMessage::createMethodCall(name, path, QString::fromLatin1(kInterface),
                                                       entries.isEmpty() ? QStringLiteral("Activate") : QStringLiteral("Open"));
    if (!entries.isEmpty()) call << entries;
    call << platformData;
    // Blocks without an event loop: nothing of this start runs meanwhile.
    const QDBusMessage answer = bus.call(call, QDBus::Block, limitMs);
    return answer.type() == QDBusMessage::ReplyMessage ? Start::HandedOver : Start::Alone;
}

void HandOverEntries(Form1& form, const QStringList& entries, const QString& procedure) {
    ErrorReport::Trap trap(form.dialogs(), QStringLiteral("Form1"), procedure);
    QStringList files;
    QStringList typed;
    for (const QString& entry : entries) {
        if (IsFileAddress(entry)) {
            const QUrl url(entry);
            // A file:// address of another host cannot be read here; it is named as a missing file.
            files << (url.isLocalFile() ? url.toLocalFile() : entry);
        } else {
            typed << entry;
        }
    }
    if (!typed.isEmpty()) {
        Main::NotAdded notAdded;
        QStringList addresses, faults;
        trap.run(100, [&] { addresses = Main::AddressesFromTypedLines(typed.join(QLatin1Char('\n')), notAdded, faults); });
        // Into the list as Add One URL puts them; during a run the window hands new rows to it.
        trap.run(102, [&] { form.urlList().appendMany(addresses); });
        if (!faults.isEmpty())
            trap.run(104, [&] { form.dialogs().msgBox(faults.join(QStringLiteral("\n\n")), Dialogs::Exclamation); });
        if (notAdded.count) trap.run(106, [&] { form.dialogs().msgBox(notAdded.message()); });
    }
    if (!files.isEmpty()) trap.run(108, [&] { form.loadListFiles(files, procedure); });
}

void Raise(QWidget& window, const QString& activationToken) {
    // Qt's Wayland shell hands this token to the compositor with the next activation. On X11
    // the token is the launch's startup id: the window manager is asked with the launch's time.
    if (!activationToken.isEmpty() && QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
        qputenv("XDG_ACTIVATION_TOKEN", activationToken.toUtf8());
    window.setWindowState((window.windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window.show();
    window.raise();
    window.activateWindow();
    if (QGuiApplication::platformName() == QLatin1String("xcb")) X11Activation::Activate(window, activationToken.toUtf8());
}

void Attach(Service& service, Form1& form) {
    QObject::connect(&service, &Service::activated, &form, [&form](const QString& token) { Raise(form, token); });
    QObject::connect(&service, &Service::opened, &form, [&form](const QStringList& entries, const QString& token) {
        Raise(form, token);
        HandOverEntries(form, entries, QStringLiteral("HandedOver"));
    });
}

}  // namespace AppInstance
