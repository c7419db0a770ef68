#include <QCoreApplication>
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QIcon>
#include <QLocale>
#include <QTimer>

#include <optional>

#include "app/AppInstance.h"
#include "app/Form1.h"
#include "app/Languages.h"
#include "app/QtDialogs.h"
#include "app/SessionBus.h"
#include "support/BuildInfo.h"

namespace {

// The SVG scales sharply where Qt's SVG plugins are installed; the rendered PNGs keep the icon
// visible where they are not.
QIcon applicationIcon() {
    QIcon icon(QStringLiteral(":/fetchwright/icons/app.svg"));
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/fetchwright/icons/%1.png").arg(size), QSize(size, size));
    return icon;
}

// How long the session bus may take to greet a start; without an answer the start goes on alone.
constexpr int kBusGreetingLimitMs = 1000;

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QString::fromLatin1(BuildInfo::kOrganisation));
    QApplication::setApplicationName(QString::fromLatin1(BuildInfo::kApplication));
    QApplication::setApplicationVersion(QString::fromLatin1(BuildInfo::kVersion));
    // Matches the installed desktop entry, so that docks and Wayland compositors pair the
    // window with its menu entry and icon.
    QGuiApplication::setDesktopFileName(QString::fromLatin1(BuildInfo::kAppId));
    QApplication::setWindowIcon(applicationIcon());

    // The desktop's language (LANGUAGE, LANG, LC_ALL): the program's texts, and Qt's own dialogs
    // where Debian's translations of Qt are installed.
    const Languages::Translators translators(QLocale::system());

    QCommandLineParser options;
    options.setApplicationDescription(QCoreApplication::translate("main", "Downloads many web files into one folder in a single run."));
    options.addHelpOption();
    options.addVersionOption();
    options.addPositionalArgument(QStringLiteral("entries"),
                                  QCoreApplication::translate("main", "Web addresses to add, and list files to load."),
                                  QStringLiteral("[ADDRESS|LISTFILE]..."));
    options.process(app);
    const QStringList entries = AppInstance::EntriesOfArguments(options.positionalArguments(), QDir::currentPath());

    // A copy already running for this user takes the entries, and this start ends.
    AppInstance::Service service;
    std::optional<QDBusConnection> bus = SessionBus::Connect(QStringLiteral("fetchwright-instance"), kBusGreetingLimitMs);
    if (bus && AppInstance::ClaimOrHandOver(*bus, service, entries, AppInstance::PlatformDataOfEnvironment()) ==
                   AppInstance::Start::HandedOver)
        return 0;

    Dialogs::QtDialogs dialogs;
    const Settings::Store settings;  // the user's own
    Form1 form(dialogs, settings);
    dialogs.setOwner(&form);
    AppInstance::Attach(service, form);
    form.Form_Load();
    form.show();
    // After the window is there, so that a message about an entry belongs to it.
    if (!entries.isEmpty())
        QTimer::singleShot(0, &form, [&form, entries] { AppInstance::HandOverEntries(form, entries, QStringLiteral("CommandLine")); });
    return app.exec();
}
