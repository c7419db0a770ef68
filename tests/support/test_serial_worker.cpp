// The serial worker: tasks in the order posted, a due time that lets work gather, a drain that
// does not wait for it, and a stop that loses nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "support/SerialWorker.h"

using namespace std::chrono_literals;
using Fw::SerialWorker;

TEST(SerialWorker, RunsTasksOneAtATimeInTheOrderPostedOffTheCallersThread) {
    SerialWorker worker;
    std::mutex lock;
    std::vector<int> order;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<bool> onCaller{false};
    const auto caller = std::this_thread::get_id();
    for (int k = 0; k < 200; ++k) {
        worker.post([&, k] {
            if (inside.fetch_add(1) != 0) overlapped = true;
            if (std::this_thread::get_id() == caller) onCaller = true;
            {
                std::lock_guard<std::mutex> hold(lock);
                order.push_back(k);
            }
            inside.fetch_sub(1);
        });
    }
    worker.drain();
    std::lock_guard<std::mutex> hold(lock);
    ASSERT_EQ(order.size(), 200u);
    for (int k = 0; k < 200; ++k) EXPECT_EQ(order[std::size_t(k)], k);
    EXPECT_FALSE(overlapped);
    EXPECT_FALSE(onCaller);
}

TEST(SerialWorker, ATaskWaitsForItsTimeUnlessDrainedAndLaterTasksWaitBehindIt) {
    SerialWorker worker;
    std::atomic<int> ran{0};
    // Far in the future: only a drain or an expedite gets it run within the test.
    worker.post([&] { ran = 1; }, SerialWorker::Clock::now() + 1h);
    worker.post([&] { ran = ran * 10 + 2; });
    // Nothing can run yet: the first task holds the queue.
    std::this_thread::yield();
    EXPECT_EQ(ran.load(), 0);
    const auto started = SerialWorker::Clock::now();
    worker.drain();
    EXPECT_EQ(ran.load(), 12);
    EXPECT_LT(SerialWorker::Clock::now() - started, 30s);

    std::atomic<bool> late{false};
    worker.post([&] { late = true; }, SerialWorker::Clock::now() + 1h);
    worker.expedite();
    worker.drain();
    EXPECT_TRUE(late);
}

TEST(SerialWorker, ADueTimeInThePastOrNearRunsWithoutADrain) {
    SerialWorker worker;
    std::mutex lock;
    std::condition_variable done;
    bool ran = false;
    worker.post(
        [&] {
            std::lock_guard<std::mutex> hold(lock);
            ran = true;
            done.notify_all();
        },
        SerialWorker::Clock::now() + 20ms);
    std::unique_lock<std::mutex> hold(lock);
    EXPECT_TRUE(done.wait_for(hold, 30s, [&] { return ran; }));
}

TEST(SerialWorker, StopRunsWhatIsQueuedAndLaterPostsRunOnTheCaller) {
    std::atomic<int> ran{0};
    {
        SerialWorker worker;
        for (int k = 0; k < 50; ++k) worker.post([&] { ++ran; }, SerialWorker::Clock::now() + 1h);
        worker.stop();
        EXPECT_EQ(ran.load(), 50);
        const auto caller = std::this_thread::get_id();
        std::thread::id where;
        worker.post([&] { where = std::this_thread::get_id(); });
        EXPECT_EQ(where, caller);
        worker.stop();
    }
    // Destroying a worker that has queued work runs it too.
    {
        SerialWorker worker;
        worker.post([&] { ++ran; }, SerialWorker::Clock::now() + 1h);
    }
    EXPECT_EQ(ran.load(), 51);
}
