#pragma once
// Work on the list's text that runs off the window thread, so that the window keeps answering
// while a big list file, page, paste or filter is under way. Jobs run one after another, in the
// order they were started, so that their entries arrive in that order. A job's work runs on a
// serial worker; what it hands to the window goes through a queue under a lock of our own and runs
// later on the window thread, in order, and so does its end. Nothing waits in a nested event loop.
#include <QObject>
#include <QString>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "support/SerialWorker.h"

class ListJobs : public QObject {
    Q_OBJECT
public:
    // What a job's work sees.
    class Job {
    public:
        // Set when the window closes; the work looks at it between steps.
        const std::atomic<bool>& stop() const { return stop_; }
        // Runs `step` on the window thread, after everything handed over before.
        void toWindow(std::function<void()> step);

    private:
        friend class ListJobs;
        ListJobs* owner_ = nullptr;
        std::atomic<bool> stop_{false};
    };

    // How a job ended: `failure` is the description of what its work threw (empty when it ran
    // through); `stopped` when the window closed meanwhile.
    struct Ending {
        QString failure;
        bool stopped = false;
    };

    explicit ListJobs(QObject* parent = nullptr);
    // Stops the work under way and waits for it: what it hands over must have somewhere to go.
    ~ListJobs() override;

    // Runs `work` once the jobs started before have ended; `ended` follows it on the window thread.
    void start(std::function<void(Job&)> work, std::function<void(const Ending&)> ended);
    // A job runs or waits its turn.
    bool busy() const { return running_ || !waiting_.empty(); }
    // Asks every job to stop at its next look, without waiting.
    void stopAll();
    // Blocks until the work under way has returned, and drops the jobs still waiting (the window
    // going away).
    void waitAll();

signals:
    // The last job has ended.
    void idle();

private:
    struct Waiting {
        std::shared_ptr<Job> job;
        std::function<void(Job&)> work;
        std::function<void(const Ending&)> ended;
    };
    void runNext();
    void finish();
    // Any thread: `step` joins the queue the window thread runs.
    void handOver(std::function<void()> step);
    // The window thread: runs what was handed over so far.
    Q_INVOKABLE void deliver();

    std::deque<Waiting> waiting_;
    std::shared_ptr<Job> running_;
    // Qt's own event queue hands a posted call over under a lock the thread sanitizer cannot see;
    // the steps themselves pass through this one, so that what they carry is seen handed over.
    std::mutex handedLock_;
    std::vector<std::function<void()>> handed_;
    Fw::SerialWorker worker_;  // last: it ends before what its work uses
};
