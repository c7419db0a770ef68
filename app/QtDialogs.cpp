#include "app/QtDialogs.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QFont>
#include <QFontMetrics>
#include <QGridLayout>
#include <QPointer>
#include <QSpacerItem>
#include <QWindow>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QUrl>

#include "support/BuildInfo.h"

namespace Dialogs {

QWidget* MessageBoxParent(QWidget* owner) {
    if (QWidget* open = QApplication::activeModalWidget()) return open;
    // A box opened before the window is visible stands on its own.
    return owner && owner->isVisible() ? owner : nullptr;
}

void FitAndCentre(QMessageBox& box, QWidget* owner) {
    // A title wider than the text would be cut short ("F…"). Qt allows for it in a plain font with
    // 50 px to spare; window managers draw titles bold, beside an icon and three buttons.
    QFont titleFont = QApplication::font("QMdiSubWindowTitleBar");
    titleFont.setBold(true);
    const int titleWidth = QFontMetrics(titleFont).horizontalAdvance(box.windowTitle()) + 6 * QFontMetrics(titleFont).height();
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
        grid->addItem(new QSpacerItem(titleWidth, 0, QSizePolicy::Minimum, QSizePolicy::Expanding), grid->rowCount(), 0, 1,
                      grid->columnCount());
    if (!owner || !owner->isVisible()) return;
    const QPointer<QWidget> on(owner);
    auto centre = [&box, on] {
        if (!on) return;
        const QRect frame = box.frameGeometry();
        box.move(on->frameGeometry().center() - QPoint(frame.width() / 2, frame.height() / 2));
    };
    // The size is final only once the box is shown; a window the window manager is still placing
    // moves after the box opened.
    struct Recentre : QObject {
        std::function<void()> centre;
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::Show || event->type() == QEvent::Resize) centre();
            return false;
        }
    };
    auto* filter = new Recentre;
    filter->setParent(&box);
    filter->centre = centre;
    box.installEventFilter(filter);
    if (QWindow* window = owner->windowHandle()) {
        QObject::connect(window, &QWindow::xChanged, &box, centre);
        QObject::connect(window, &QWindow::yChanged, &box, centre);
    }
    centre();
}

int QtDialogs::messageBox(const QString& text, int code, const QString& caption) {
    QMessageBox box(MessageBoxParent(owner_));
    box.setWindowTitle(captionOr(caption));
    // Message texts use CR, CR LF and CR CR as line breaks; Qt's plain text wants LF.
    QString shown = text;
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    box.setText(shown);
    box.setTextFormat(Qt::PlainText);
    box.setIcon((code & Exclamation) == Exclamation ? QMessageBox::Warning : QMessageBox::NoIcon);
    if ((code & 7) == YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::No);
    } else if ((code & 7) == YesNoCancel) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        box.setDefaultButton(QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::Cancel);
        box.button(QMessageBox::Cancel)->setText(QCoreApplication::translate("QtDialogs", "Not Now"));
    } else {
        box.setStandardButtons(QMessageBox::Ok);
    }
    FitAndCentre(box, owner_);
    const int pressed = box.exec();
    if (pressed == QMessageBox::Yes) return Yes;
    if (pressed == QMessageBox::No) return No;
    if (pressed == QMessageBox::Cancel) return Cancel;
    return Ok;
}

QString QtDialogs::inputBox(const QString& prompt, const QString& caption, const QString& defaultText) {
    QWidget* parent = owner_ && owner_->isVisible() ? owner_ : nullptr;
    QInputDialog dialog(parent);
    dialog.setWindowTitle(captionOr(caption));
    dialog.setLabelText(prompt);
    dialog.setTextValue(defaultText);
    dialog.setInputMode(QInputDialog::TextInput);
    dialog.resize(qMax(dialog.sizeHint().width(), 420), dialog.sizeHint().height());
    if (dialog.exec() != QDialog::Accepted) return {};
    return dialog.textValue();
}

QStringList QtDialogs::openFiles(const QString& title, const QStringList& nameFilters, const QString& startFolder) {
    // "*.*" means every file to the program's users; here it would hide names without a dot.
    QStringList filters;
    for (QString filter : nameFilters) filters << filter.replace(QLatin1String("(*.*)"), QLatin1String("(*)"));
    return QFileDialog::getOpenFileNames(owner_, title, startFolder, filters.join(QLatin1String(";;")));
}

QString QtDialogs::saveFile(const QString& title, const QStringList& nameFilters, const QString& startFolder) {
    // The caller adds the extension and asks before it replaces what that name holds.
    return QFileDialog::getSaveFileName(owner_, title, startFolder, nameFilters.join(QLatin1String(";;")), nullptr,
                                        QFileDialog::DontConfirmOverwrite);
}

QString QtDialogs::browseForFolder(const QString& title, const QString& startFolder) {
    return QFileDialog::getExistingDirectory(owner_, title, startFolder, QFileDialog::ShowDirsOnly);
}

// The choices of "Get Links Takes" as shown; the settings keep RunOptions::LinksTakeText's words.
[[maybe_unused]] const char* const kLinksTakeShown[] = {
    QT_TRANSLATE_NOOP("QtDialogs", "Links"),
    QT_TRANSLATE_NOOP("QtDialogs", "Links, images and media"),
    QT_TRANSLATE_NOOP("QtDialogs", "Links, largest images and media"),
};

bool QtDialogs::editOptions(RunOptions::Values& values) {
    QDialog dialog(owner_);
    dialog.setWindowTitle(QCoreApplication::translate("QtDialogs", "Options"));
    auto* form = new QFormLayout(&dialog);
    auto* atOnce = new QSpinBox(&dialog);
    atOnce->setObjectName(QStringLiteral("DownloadsAtOnce"));
    atOnce->setRange(RunOptions::kMinAtOnce, RunOptions::kMaxAtOnce);
    atOnce->setValue(values.atOnce);
    atOnce->setToolTip(QCoreApplication::translate("QtDialogs", "How many connections are open at the same time, in all and to one server; a "
                                      "server that speaks HTTP/2 sends many files at once over one"));
    form->addRow(QCoreApplication::translate("QtDialogs", "Downloads At &Once:"), atOnce);
    auto* limit = new QSpinBox(&dialog);
    limit->setObjectName(QStringLiteral("SpeedLimit"));
    limit->setRange(0, RunOptions::kMaxSpeedLimitKBps);
    limit->setSingleStep(100);
    limit->setSuffix(QCoreApplication::translate("QtDialogs", " KB/s"));
    limit->setSpecialValueText(QCoreApplication::translate("QtDialogs", "No limit"));
    limit->setValue(values.speedLimitKBps);
    limit->setToolTip(QCoreApplication::translate("QtDialogs", "The most the whole run receives per second, shared by its downloads"));
    form->addRow(QCoreApplication::translate("QtDialogs", "&Speed Limit:"), limit);
    auto* ifExists = new QComboBox(&dialog);
    ifExists->setObjectName(QStringLiteral("IfFileExists"));
    ifExists->addItem(QCoreApplication::translate("QtDialogs", "Number"));
    ifExists->addItem(QCoreApplication::translate("QtDialogs", "Skip"));
    ifExists->addItem(QCoreApplication::translate("QtDialogs", "Skip unchanged"));
    ifExists->setCurrentIndex(values.skipUnchanged ? 2 : values.skipExisting ? 1 : 0);
    ifExists->setToolTip(QCoreApplication::translate("QtDialogs", "Number: store a new copy as \"name (1).ext\". Skip: leave out a file that is already "
                                        "there with the size the server announces. Skip unchanged: ask the server whether a file this program stored "
                                        "there before changed, and fetch it (under a new name) only if it did."));
    form->addRow(QCoreApplication::translate("QtDialogs", "If File &Exists:"), ifExists);
    auto* serverNames = new QCheckBox(QCoreApplication::translate("QtDialogs", "Use the &name the server suggests"), &dialog);
    serverNames->setObjectName(QStringLiteral("ServerNames"));
    serverNames->setChecked(values.serverNames);
    form->addRow(serverNames);
    auto* cookies = new QLineEdit(values.cookiesFile, &dialog);
    cookies->setObjectName(QStringLiteral("CookiesFile"));
    cookies->setPlaceholderText(QCoreApplication::translate("QtDialogs", "None"));
    cookies->setToolTip(QCoreApplication::translate("QtDialogs", "A cookies.txt as browser extensions export it; read at each Start, never written"));
    auto* chooseCookies = new QPushButton(QStringLiteral("..."), &dialog);
    QObject::connect(chooseCookies, &QPushButton::clicked, &dialog, [&dialog, cookies] {
        const QString chosen = QFileDialog::getOpenFileName(&dialog, QCoreApplication::translate("QtDialogs", "Cookies File"), cookies->text(),
                                                            QCoreApplication::translate("QtDialogs", "Cookies files (*.txt);;All files (*)"));
        if (!chosen.isEmpty()) cookies->setText(chosen);
    });
    auto* cookiesRow = new QHBoxLayout;
    cookiesRow->addWidget(cookies);
    cookiesRow->addWidget(chooseCookies);
    form->addRow(QCoreApplication::translate("QtDialogs", "&Cookies File:"), cookiesRow);
    auto* userAgent = new QLineEdit(values.userAgent, &dialog);
    userAgent->setObjectName(QStringLiteral("UserAgent"));
    userAgent->setPlaceholderText(QString::fromLatin1(BuildInfo::kUserAgent));
    userAgent->setToolTip(QCoreApplication::translate("QtDialogs", "How the requests name the program to the servers; empty for its own name"));
    form->addRow(QCoreApplication::translate("QtDialogs", "&User-Agent:"), userAgent);
    auto* serverTime = new QCheckBox(QCoreApplication::translate("QtDialogs", "&Keep Server Time (a stored file gets the server's modification time)"), &dialog);
    serverTime->setObjectName(QStringLiteral("KeepServerTime"));
    serverTime->setChecked(values.keepServerTime);
    form->addRow(serverTime);
    auto* split = new QCheckBox(QCoreApplication::translate("QtDialogs", "S&plit big files over idle connections"), &dialog);
    split->setObjectName(QStringLiteral("SplitBigFiles"));
    split->setChecked(values.splitBigFiles);
    split->setToolTip(QCoreApplication::translate("QtDialogs", "Only where the server proves that every piece is of the same file"));
    form->addRow(split);
    auto* linksTake = new QComboBox(&dialog);
    linksTake->setObjectName(QStringLiteral("GetLinksTakes"));
    for (const auto take : {RunOptions::LinksTake::Links, RunOptions::LinksTake::Media, RunOptions::LinksTake::LargestMedia})
        linksTake->addItem(QCoreApplication::translate("QtDialogs", RunOptions::LinksTakeText(take).toUtf8().constData()),
                           static_cast<int>(take));
    linksTake->setCurrentIndex(linksTake->findData(static_cast<int>(values.linksTake)));
    linksTake->setToolTip(QCoreApplication::translate("QtDialogs", "What Get All Links Within URL adds: the links of a page, or its images, video "
                                         "and audio too (img src and srcset, picture, video, audio, poster, data-src)"));
    form->addRow(QCoreApplication::translate("QtDialogs", "&Get Links Takes:"), linksTake);
    auto* keepAwake = new QCheckBox(QCoreApplication::translate("QtDialogs", "Keep the computer &awake while downloading"), &dialog);
    keepAwake->setObjectName(QStringLiteral("KeepAwake"));
    keepAwake->setChecked(values.keepAwake);
    form->addRow(keepAwake);
    auto* proxy = new QComboBox(&dialog);
    proxy->setObjectName(QStringLiteral("Proxy"));
    proxy->setEditable(true);
    proxy->addItems({QStringLiteral("System"), QStringLiteral("None")});  // words the settings keep, as typed
    proxy->setCurrentText(values.proxy);
    proxy->setToolTip(QCoreApplication::translate("QtDialogs", "System: the desktop's proxy for each address. None: always direct. Or type "
                                     "http://, https:// or socks5h:// and the proxy's host and port."));
    form->addRow(QCoreApplication::translate("QtDialogs", "Pro&xy:"), proxy);
    auto* bypass = new QLineEdit(values.proxyBypass, &dialog);
    bypass->setObjectName(QStringLiteral("ProxyBypass"));
    bypass->setPlaceholderText(QStringLiteral("localhost, .example.org"));
    bypass->setToolTip(QCoreApplication::translate("QtDialogs", "Hosts and domains reached directly, past a typed proxy"));
    const auto typedOnly = [proxy, bypass] {
        const QString chosen = proxy->currentText().trimmed();
        bypass->setEnabled(chosen.compare(QLatin1String("System"), Qt::CaseInsensitive) != 0 &&
                           chosen.compare(QLatin1String("None"), Qt::CaseInsensitive) != 0 && !chosen.isEmpty());
    };
    QObject::connect(proxy, &QComboBox::currentTextChanged, &dialog, typedOnly);
    typedOnly();
    form->addRow(QCoreApplication::translate("QtDialogs", "&Bypass:"), bypass);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    form->addRow(buttons);
    if (dialog.exec() != QDialog::Accepted) return false;
    values.atOnce = atOnce->value();
    values.speedLimitKBps = limit->value();
    values.skipExisting = ifExists->currentIndex() == 1;
    values.skipUnchanged = ifExists->currentIndex() == 2;
    values.serverNames = serverNames->isChecked();
    values.cookiesFile = cookies->text().trimmed();
    values.userAgent = userAgent->text().trimmed();
    values.keepServerTime = serverTime->isChecked();
    values.splitBigFiles = split->isChecked();
    values.linksTake = static_cast<RunOptions::LinksTake>(linksTake->currentData().toInt());
    values.keepAwake = keepAwake->isChecked();
    values.proxy = proxy->currentText().trimmed().isEmpty() ? QStringLiteral("System") : proxy->currentText().trimmed();
    values.proxyBypass = bypass->text().trimmed();
    return true;
}

void QtDialogs::openUrl(const QString& address) {
    // An address may come quoted as for a shell command line; the quotes are not part of it.
    QString plain = address.trimmed();
    if (plain.size() >= 2 && plain.startsWith(QLatin1Char('"')) && plain.endsWith(QLatin1Char('"')))
        plain = plain.mid(1, plain.size() - 2);
    QDesktopServices::openUrl(QUrl::fromUserInput(plain));
}

}  // namespace Dialogs
