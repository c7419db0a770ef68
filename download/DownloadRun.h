#pragma once
// A run as one asynchronous object: the window starts it and listens to its signals, and never
// waits for a transfer. The transfers go on in a thread of the run's own; the signals reach
// whoever listens on that listener's thread.
#include <QObject>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "download/DownloadEngine.h"

namespace Download {

class Run : public QObject, private Engine::Listener {
    Q_OBJECT
public:
    // The engine must have begun its run (Engine::beginRun) and outlive this object.
    explicit Run(Engine& engine, QObject* parent = nullptr);
    // Cancels what is still under way (nothing once finished() has come: the engine may be on its
    // next run by then) and waits for the run's thread.
    ~Run() override;

    // The transfers begin; items come through Engine::enqueue whenever wantMore() asks.
    void start();
    // After queueEnded(): the files still being flushed are named, then finished() comes.
    void finish();
    // The outcome of every item, in the engine's numbers; valid once finished() has come.
    const std::vector<ItemOutcome>& outcomes() const { return outcomes_; }

signals:
    void wantMore();
    void itemStarted(int index);
    void itemFinished(int index);  // its transfer has ended
    void progress();
    // No item begins any more (the input has ended and all is fetched, or the run was cancelled).
    void queueEnded();
    void finished();

private:
    void onWantMore() override { emit wantMore(); }
    void onItemStarted(int index) override { emit itemStarted(index); }
    void onItemEnded(int index) override { emit itemFinished(index); }
    void onProgress() override { emit progress(); }
    void work();

    Engine& engine_;
    std::vector<ItemOutcome> outcomes_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool finishAsked_ = false;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

}  // namespace Download
