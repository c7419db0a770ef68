#pragma once
// The per-user settings store: named text values under one organisation, application and
// section. Every read goes to the store and every write reaches the disk before it returns, so a
// crash right after a change loses nothing.
#include <QString>

#include "support/BuildInfo.h"

#include <utility>

namespace Settings {

inline constexpr const char* kOrganisation = BuildInfo::kOrganisation;
inline constexpr const char* kApplication = BuildInfo::kApplication;
inline constexpr const char* kSection = BuildInfo::kApplication;

class Store {
public:
    // The user's own store (~/.config/Quillmoor/Fetchwright.conf on Linux).
    Store() = default;
    // A store in the given file, same format and section (tests, benchmarks).
    explicit Store(QString file) : file_(std::move(file)) {}

    // The stored text, or `defaultText` when the entry is absent.
    QString read(const QString& entry, const QString& defaultText) const;
    // Stores the text, replacing any earlier value, and writes it through to the disk.
    void write(const QString& entry, const QString& text) const;

    // The file that holds the entries.
    QString fileName() const;

private:
    QString file_;
};

// Truth values are stored as "True" and "False".
QString TruthText(bool value);
// "True"/"False" in any letter case, or a number (0 false, anything else true). Any other text
// fails with "Type mismatch".
bool ToTruth(const QString& text);

}  // namespace Settings
