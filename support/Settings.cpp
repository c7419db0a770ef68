#include "support/Settings.h"

#include <QSettings>

#include <cmath>
#include <memory>

#include <stdexcept>

namespace Settings {

namespace {
std::unique_ptr<QSettings> open(const QString& file) {
    auto settings = file.isEmpty()
                        ? std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                                      QLatin1String(kOrganisation), QLatin1String(kApplication))
                        : std::make_unique<QSettings>(file, QSettings::NativeFormat);
    settings->beginGroup(QLatin1String(kSection));
    return settings;
}
}  // namespace

QString Store::read(const QString& entry, const QString& defaultText) const {
    auto settings = open(file_);
    // Another copy of the program may have written since this one last looked.
    settings->sync();
    const QVariant value = settings->value(entry);
    if (!value.isValid()) return defaultText;
    // A hand-edited file may hold an unquoted text with commas, which reads back as a list.
    if (value.typeId() == QMetaType::QStringList) return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

void Store::write(const QString& entry, const QString& text) const {
    auto settings = open(file_);
    settings->setValue(entry, text);
    settings->sync();
}

QString Store::fileName() const { return open(file_)->fileName(); }

QString TruthText(bool value) { return value ? QStringLiteral("True") : QStringLiteral("False"); }

bool ToTruth(const QString& text) {
    const QString t = text.trimmed();
    if (t.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0) return true;
    if (t.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0) return false;
    bool isNumber = false;
    const double number = t.toDouble(&isNumber);
    // "nan" and "inf" parse as numbers here, but a stored option is never one of them.
    if (!isNumber || !std::isfinite(number)) throw std::runtime_error("Type mismatch");
    return number != 0.0;
}

}  // namespace Settings
