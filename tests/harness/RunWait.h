#pragma once
// A run on the window goes on after the start button's click returns: tests wait for its end
// (the closing message answered) while the window's events flow.
#include <QPushButton>
#include <QTest>

#include "app/Form1.h"
#include "harness/Timing.h"

// Clicks Start Downloading and waits until the run it began has ended; false when it has not
// within `ms` (wider in sanitizer builds).
inline bool ClickStartAndWait(Form1& form, int ms = 60000) {
    form.PushButton2->click();
    return QTest::qWaitFor([&] { return !form.IsDownloading; }, Timing::boundMs(ms));
}
