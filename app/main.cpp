#include <QApplication>
#include <QIcon>

#include "app/Form1.h"
#include "app/QtDialogs.h"
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

    Dialogs::QtDialogs dialogs;
    const Settings::Store settings;  // the user's own
    Form1 form(dialogs, settings);
    dialogs.setOwner(&form);
    form.Form_Load();
    form.show();
    return app.exec();
}
