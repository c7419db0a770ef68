#pragma once
// How long the window stops answering while it works: a timer that should fire every 5 ms
// measures the longest gap between its ticks, from an action started from the event loop until
// a condition holds.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>

#include "app/Form1.h"

namespace Bench {

struct Stall {
    double totalMs = 0;
    double longestGapMs = 0;
};

// Starts `action` from the application's event loop and runs the loop until `over` (by default:
// the window's list work is over), measuring the longest time between two ticks of a 5 ms timer.
inline Stall MeasureStall(Form1& form, const std::function<void()>& action, std::function<bool()> over = {}) {
    if (!over) over = [&form] { return !form.isListBuilding(); };
    QElapsedTimer clock;
    qint64 last = 0, longest = 0;
    bool started = false;
    QTimer ticker;
    ticker.setInterval(5);
    QObject::connect(&ticker, &QTimer::timeout, &form, [&] {
        const qint64 now = clock.nsecsElapsed();
        longest = std::max(longest, now - last);
        last = now;
        if (started && over()) QCoreApplication::exit(0);
    });
    QTimer::singleShot(0, &form, [&] {
        clock.start();
        last = 0;
        ticker.start();
        action();
        started = true;
    });
    QCoreApplication::exec();
    return {clock.nsecsElapsed() / 1e6, longest / 1e6};
}

// The same, printed as a row: what, total, longest gap, entries in the list.
inline void RunStall(const char* what, Form1& form, const std::function<void()>& action, std::function<bool()> over = {}) {
    const Stall s = MeasureStall(form, action, std::move(over));
    std::printf("%-44s %9.0f ms %9.0f ms %9d\n", what, s.totalMs, s.longestGapMs, form.urlList().count());
}

}  // namespace Bench
