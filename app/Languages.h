#pragma once
// The shown texts in the user's language: the program's own translation (compiled in, under
// :/fetchwright/i18n/) and Qt's own (qtbase_*.qm where Debian's translations of Qt are
// installed), for one locale. English is the sources' texts as written; its translation holds
// only the plural forms of the texts that count ("%n file(s)"), and it is the one loaded for a
// language without a translation (and for the C locale).
#include <QLocale>
#include <QTranslator>

namespace Languages {

// Where the program's own .qm files are: fetchwright_<language>.qm.
inline constexpr const char* kOwnTranslations = ":/fetchwright/i18n";

// Installs the translators for `locale` while it lives; removes them when it goes.
class Translators {
public:
    explicit Translators(const QLocale& locale);
    ~Translators();
    Translators(const Translators&) = delete;
    Translators& operator=(const Translators&) = delete;

    bool ownLoaded() const { return ownLoaded_; }
    bool qtLoaded() const { return qtLoaded_; }

private:
    QTranslator qt_, own_;
    bool qtLoaded_ = false, ownLoaded_ = false;
};

}  // namespace Languages
