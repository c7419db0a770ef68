#pragma once
// Empties the per-user settings store that the whole test program shares (in its own home), so
// that no case leaves anything behind for the next.
#include <QSettings>

#include "support/Settings.h"

inline void clearUserSettings() {
    QSettings s(QSettings::NativeFormat, QSettings::UserScope, QLatin1String(Settings::kOrganisation),
                QLatin1String(Settings::kApplication));
    s.clear();
    s.sync();
}
