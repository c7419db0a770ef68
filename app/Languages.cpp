#include "app/Languages.h"

#include <QCoreApplication>
#include <QLibraryInfo>

namespace Languages {

Translators::Translators(const QLocale& locale) {
    qtLoaded_ = qt_.load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath));
    if (qtLoaded_) QCoreApplication::installTranslator(&qt_);
    const QString own = QString::fromLatin1(kOwnTranslations);
    ownLoaded_ = own_.load(locale, QStringLiteral("fetchwright"), QStringLiteral("_"), own);
    // Any language without a translation of its own, and the C locale, reads English: the sources'
    // texts, with the English plural forms of the "%n" texts.
    if (!ownLoaded_) ownLoaded_ = own_.load(QStringLiteral("fetchwright_en"), own);
    if (ownLoaded_) QCoreApplication::installTranslator(&own_);
}

Translators::~Translators() {
    if (ownLoaded_) QCoreApplication::removeTranslator(&own_);
    if (qtLoaded_) QCoreApplication::removeTranslator(&qt_);
}

}  // namespace Languages
