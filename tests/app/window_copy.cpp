// The program's window in a process of its own, closed in the middle of a run as a user or the
// window manager closes it, for tests of what such a run leaves for the next start.
//
//   window_copy FOLDER CLOSE_AFTER_MS URL...
//
// Starts a run of the URLs into FOLDER and closes the window CLOSE_AFTER_MS after Start; the
// program then quits on its last window closed and tears the window down, as the program does.
// Records go to the state folder of $XDG_STATE_HOME. Prints any box the run would have shown.
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

#include "app/Form1.h"
#include "support/BuildInfo.h"

namespace {
struct Unattended : Dialogs::DialogService {
    int messageBox(const QString& text, int, const QString&) override {
        std::printf("message\t%s\n", qPrintable(text));
        return Dialogs::Ok;
    }
    QString inputBox(const QString&, const QString&, const QString&) override { return {}; }
    QStringList openFiles(const QString&, const QStringList&, const QString&) override { return {}; }
    QString browseForFolder(const QString&, const QString&) override { return {}; }
    void openUrl(const QString&) override {}
    void yield() override {}
};
}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QString::fromLatin1(BuildInfo::kOrganisation));
    QApplication::setApplicationName(QString::fromLatin1(BuildInfo::kApplication));
    QStringList args = app.arguments().mid(1);
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: window_copy FOLDER CLOSE_AFTER_MS URL...\n");
        return 2;
    }
    const QString folder = args.takeFirst();
    const int closeAfterMs = args.takeFirst().toInt();
    Unattended dialogs;
    const Settings::Store settings;
    Form1 form(dialogs, settings);
    form.Text1->setText(folder);
    for (const QString& url : args) form.urlList().append(url);
    form.show();
    QTimer::singleShot(0, &form, [&] {
        form.PushButton2->click();
        QTimer::singleShot(closeAfterMs, &form, &QWidget::close);
    });
    return app.exec();
}
