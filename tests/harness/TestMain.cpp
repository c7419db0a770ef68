// Every test program starts here: an offscreen QApplication, and a home, settings, desktop and
// session bus of its own, so that no test ever reads or writes the user's real ones.
#include <QApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

#include "app/Languages.h"
#include "support/BuildInfo.h"

int main(int argc, char** argv) {
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/fetchwright-test-home-XXXXXX"));
    if (!home.isValid()) return 2;
    const QByteArray h = home.path().toLocal8Bit();
    ::setenv("HOME", h.constData(), 1);
    ::setenv("XDG_CONFIG_HOME", (h + "/.config").constData(), 1);
    ::setenv("XDG_DATA_HOME", (h + "/.local/share").constData(), 1);
    ::setenv("XDG_CACHE_HOME", (h + "/.cache").constData(), 1);
    ::setenv("XDG_DESKTOP_DIR", (h + "/Desktop").constData(), 1);
    ::setenv("XDG_RUNTIME_DIR", h.constData(), 1);
    // No session bus: a run's notification never reaches the desktop of whoever runs the tests.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + h + "/no-bus").constData(), 1);
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QDir().mkpath(home.path() + QStringLiteral("/Desktop"));

    QApplication app(argc, argv);
    QApplication::setOrganizationName(QString::fromLatin1(BuildInfo::kOrganisation));
    QApplication::setApplicationName(QString::fromLatin1(BuildInfo::kApplication));
    // English, as the program shows it in the C locale: the sources' texts and their plural forms.
    const Languages::Translators english(QLocale::c());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
