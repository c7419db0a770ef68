#include "app/Startup.h"

#include <QBuffer>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QImageReader>
#include <QLabel>
#include <QPixmap>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QWidget>

#include <algorithm>
#include <limits>

#include "app/StartupEnvironment.h"
#include "download/ConnectionTry.h"
#include "download/RunSummary.h"
#include "download/UnfinishedWork.h"
#include "support/ConnectivityCheck.h"
#include "app/ErrorTrap.h"
#include "support/PathHelpers.h"

StartupEnvironment StartupEnvironment::FromSystem() {
    StartupEnvironment env;
    env.programFolder = QCoreApplication::applicationDirPath();
    env.pingCommand = Main::DefaultPingCommand();
    env.pingWaitLimitMs = Main::kPingWaitLimitMs;
    env.tryConnection = [](int limitMs, const std::atomic<bool>& stop, const Download::ProxyChoice* proxy) {
        return Download::CanConnectHttps(QLatin1String(Main::kPingHost), limitMs, stop, 443, proxy);
    };
    env.desktopFolder = [] { return QStandardPaths::writableLocation(QStandardPaths::DesktopLocation); };
    env.downloadFolder = [] { return QStandardPaths::writableLocation(QStandardPaths::DownloadLocation); };
    env.homeFolder = [] { return QDir::homePath(); };
    env.drawHomePageNumber = &Main::DrawFrom1To100;
    env.stateFolder = Download::StateFolder();
    return env;
}

namespace Main {

void ApplySkin(QWidget& window, const QString& programFolder) {
    const QString skin = programFolder + QLatin1String("/x/o.cjs");
    if (!QFileInfo(skin).isFile()) return;

    const QColor buttonFace = window.palette().color(QPalette::Button);
    auto paint = [&](QWidget* w) {
        QPalette palette = w->palette();
        palette.setColor(QPalette::Window, buttonFace);
        w->setPalette(palette);
        w->setAutoFillBackground(true);
    };
    paint(&window);
    for (QWidget* child : window.findChildren<QWidget*>()) {
        if (qobject_cast<QRadioButton*>(child) || qobject_cast<QCheckBox*>(child) ||
            qobject_cast<QGroupBox*>(child) || qobject_cast<QLabel*>(child))
            paint(child);
    }

    QFile file(skin);
    if (!file.open(QIODevice::ReadOnly)) throw ErrorReport::Failure(QCoreApplication::translate("Main", "Path/File access error"));
    window.setStyleSheet(QString::fromUtf8(file.readAll()));
}

namespace {
quint16 le16(const QByteArray& data, int at) {
    return quint16(quint8(data[at])) | quint16(quint8(data[at + 1])) << 8;
}
}  // namespace

QCursor LoadCursorFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) throw ErrorReport::Failure(QCoreApplication::translate("Main", "File not found"));
    QByteArray data = file.readAll();
    file.close();

    QImage image;
    for (const char* format : {"cur", "ico"}) {
        QBuffer buffer(&data);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer, format);
        image = reader.read();
        if (!image.isNull()) break;
    }
    if (image.isNull()) throw ErrorReport::Failure(QCoreApplication::translate("Main", "Invalid picture"));

    // A cursor file (type 2) keeps the hotspot of its first picture where an icon file keeps
    // planes and bit count; the image reader does not pass it on.
    int hotX = -1, hotY = -1;
    if (data.size() >= 6 + 16 && le16(data, 0) == 0 && le16(data, 2) == 2) {
        hotX = qBound(0, int(le16(data, 10)), image.width() - 1);
        hotY = qBound(0, int(le16(data, 12)), image.height() - 1);
    }
    return QCursor(QPixmap::fromImage(image), hotX, hotY);
}

int DrawFrom1To100() { return int(QRandomGenerator::global()->bounded(100)) + 1; }

void OpenHomePageOccasionally(Dialogs::DialogService& dialogs, const std::function<int()>& draw) {
    if (draw && draw() == 7) dialogs.openUrl(QLatin1String(kHomePage));
}

QString ApplicationTitleFor(const QString& productName) {
    QString title = productName;
    do {
        const qsizetype blank = title.lastIndexOf(QLatin1Char(' '));
        if (blank < 0) break;
        title.truncate(blank);
    } while (title.size() > 40);
    return title;
}

void SetApplicationTitle(Dialogs::DialogService& dialogs) {
    dialogs.setApplicationTitle(ApplicationTitleFor(QLatin1String(Dialogs::kProductName)));
}

QString GetDesktopFolder(const QString& desktopPath) {
    if (desktopPath.isEmpty()) throw ErrorReport::Failure(QCoreApplication::translate("Main", "Invalid procedure call or argument"));
    return desktopPath.endsWith(QLatin1Char('/')) ? desktopPath : desktopPath + QLatin1Char('/');
}

QString DefaultOutputFolder(const QString& desktopFolder, const std::function<QString()>& downloadFolder,
                            const std::function<QString()>& homeFolder) {
    if (FolderExists(desktopFolder)) return desktopFolder;
    const QString downloads = downloadFolder ? downloadFolder() : QString();
    if (!downloads.isEmpty() && FolderExists(downloads)) return GetDesktopFolder(downloads);
    const QString home = homeFolder ? homeFolder() : QString();
    // With no home either, the desktop's path stays, and the start button says it is missing.
    return home.isEmpty() ? desktopFolder : GetDesktopFolder(home);
}

}  // namespace Main

namespace Main {

QString UnfinishedRunQuestion(qsizetype downloads, qint64 keptBytes) {
    const int count = static_cast<int>(std::min<qsizetype>(downloads, std::numeric_limits<int>::max()));
    QString text = QCoreApplication::translate("Main", "The last run did not finish.\nPut the %n download(s) it did not store back in the list?",
                                               nullptr, count);
    if (keptBytes > 0) {
        // "it" or "them": the downloads' number decides.
        text += QCoreApplication::translate("Main", " %1 of them is kept and will be continued.\nNo removes the kept %1.", nullptr, count)
                    .arg(Download::ByteSize(keptBytes));
    }
    return text;
}

}  // namespace Main
