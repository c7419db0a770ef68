#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "support/Background.h"

using namespace std::chrono_literals;

TEST(BackgroundWorker, GivesTheValueBackAndRethrowsTheFailureOnTheCaller) {
    Background::Worker worker;
    const auto caller = std::this_thread::get_id();
    std::thread::id ranOn;
    EXPECT_EQ(worker.run([&] {
        ranOn = std::this_thread::get_id();
        return 42;
    }), 42);
    EXPECT_NE(ranOn, caller);
    EXPECT_THROW(worker.run([]() -> int { throw std::runtime_error("broken"); }), std::runtime_error);
    try {
        worker.run([] { throw std::runtime_error("second"); });
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "second");
    }
    // The worker is still usable after a failure, and on the same thread.
    std::thread::id again;
    worker.run([&] { again = std::this_thread::get_id(); });
    EXPECT_EQ(again, ranOn);
}

TEST(BackgroundWorker, TheWindowThreadKeepsAnsweringWhileTheJobRuns) {
    Background::Worker worker;
    int ticks = 0;
    QTimer timer;
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start();
    worker.run([] { std::this_thread::sleep_for(300ms); });
    EXPECT_GE(ticks, 5);  // about 30 at 10 ms
}

TEST(BackgroundWorker, ASecondJobFromANestedLoopIsRefusedInsteadOfHanging) {
    Background::Worker worker;
    std::atomic<bool> release{false};
    bool refused = false;
    QTimer::singleShot(20, [&] {
        EXPECT_TRUE(worker.busy());
        try {
            worker.run([] {});
        } catch (const std::logic_error&) {
            refused = true;
        }
        release = true;
    });
    worker.run([&] {
        while (!release) std::this_thread::sleep_for(5ms);
    });
    EXPECT_TRUE(refused);
    EXPECT_FALSE(worker.busy());
}

TEST(BackgroundWorker, WorksFromAThreadWithoutAnEventLoop) {
    Background::Worker worker;
    int got = 0;
    std::thread other([&] { got = worker.run([] { return 7; }); });
    other.join();
    EXPECT_EQ(got, 7);
}
