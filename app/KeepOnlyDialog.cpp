// The "Keep Only" dialog of the Qt dialog service.
#include "app/QtDialogs.h"

#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace Dialogs {

std::optional<QString> QtDialogs::keepOnly(const QList<KeepOnlyPreset>& presets, PatternCount& count) {
    QDialog dialog(owner_);
    dialog.setWindowTitle(QCoreApplication::translate("QtDialogs", "Keep Only"));
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(new QLabel(QCoreApplication::translate("QtDialogs", "Keep only the entries that match; the rest are removed."), &dialog));
    auto* pattern = new QLineEdit(&dialog);
    pattern->setObjectName(QStringLiteral("Pattern"));
    pattern->setPlaceholderText(QStringLiteral("*.jpg;*.png   or   /\\d{4}\\.pdf$/"));
    pattern->setMinimumWidth(420);
    auto* row = new QHBoxLayout;
    for (const KeepOnlyPreset& preset : presets) {
        auto* button = new QPushButton(preset.name, &dialog);
        button->setAutoDefault(false);
        button->setToolTip(preset.pattern);
        QObject::connect(button, &QPushButton::clicked, pattern, [pattern, text = preset.pattern] { pattern->setText(text); });
        row->addWidget(button);
    }
    layout->addLayout(row);
    layout->addWidget(pattern);
    auto* hint = new QLabel(QCoreApplication::translate("QtDialogs", "Wildcards on the address's path, separated by \";\" (case is ignored), or a "
                                           "regular expression between slashes, searched in the whole address (/…/i ignores case)."),
                            &dialog);
    hint->setWordWrap(true);
    layout->addWidget(hint);
    auto* shown = new QLabel(&dialog);
    shown->setObjectName(QStringLiteral("Count"));
    shown->setTextFormat(Qt::PlainText);
    layout->addWidget(shown);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
    ok->setText(QCoreApplication::translate("QtDialogs", "Keep Only"));
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);

    count.show = [shown, ok](const QString& text, bool usable) {
        shown->setText(text);
        ok->setEnabled(usable);
    };
    QObject::connect(pattern, &QLineEdit::textChanged, &dialog, [&count](const QString& text) { count.setPattern(text); });
    count.setPattern(QString());
    const bool accepted = dialog.exec() == QDialog::Accepted;
    count.show = nullptr;  // its widgets go with the dialog
    if (!accepted) return std::nullopt;
    return pattern->text();
}

}  // namespace Dialogs
