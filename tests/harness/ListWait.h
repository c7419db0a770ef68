#pragma once
// Work on the list (a list file, a page, a paste or drop, a filter) goes on after its handler
// returns: tests wait for the last job to end, its messages answered, while the window's events
// flow.
#include <QTest>

#include "app/Form1.h"
#include "harness/Timing.h"

// False when list work is still under way after `ms` (wider in sanitizer builds).
inline bool WaitForListWork(Form1& form, int ms = 60000) {
    return QTest::qWaitFor([&] { return !form.isListBuilding(); }, Timing::boundMs(ms));
}
