#pragma once
// Publishing: each item's data in a temporary of the output folder, flushed to disk (files that
// complete close together share one flush) and only then named, never replacing an existing
// entry; a name taken meanwhile gives the next free one. The flushing and naming go on on a serial
// worker while the transfers go on; the scheduler asks room() before it starts a transfer, so
// that handing a file over never waits.
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "download/DurableFiles.h"
#include "download/EngineItem.h"
#include "download/FlushChoice.h"
#include "download/RunSummary.h"
#include "download/TargetNaming.h"
#include "support/Result.h"
#include "support/SerialWorker.h"

namespace Download {

class Publisher {
public:
    // `memo` finds the next free name when one is taken meanwhile; `settled` hears each file's
    // outcome (on the worker); `roomMade` hears that files were handed on (on the worker).
    Publisher(Main::NameMemo& memo, std::function<void(int, ItemOutcome)> settled, std::function<void()> roomMade);
    // Finishes what is handed over.
    ~Publisher();

    // A new run: folders are checked for leftover temporaries again.
    void beginRun();
    void setSyncEachFile(bool on) { syncEachFile_ = on; }
    bool syncEachFile() const { return syncEachFile_; }
    void setTemporaryMethod(TemporaryMethod method) { temporaryMethod_ = method; }

    // Opens the item's folder and makes its temporary there; the reason when that cannot be done
    // (the item then fails before anything is fetched). Scheduling thread.
    Fw::Result<void> createTemporary(const QString& folderText, FinishJob& job);
    // A temporary whose transfer failed: nothing of it stays.
    void dropTemporary(FinishJob& job);

    // May `more` files be under way beside those waiting to be flushed? Each holds a descriptor.
    bool room(int more) const;
    // A complete temporary, named: flushed and published on the worker. Never waits.
    void hand(FinishJob job);
    // Every file handed over is published (or failed) when this returns; the folder is let go.
    void drain();

private:
    void flushBatch();
    void flushTogether(std::vector<FinishJob>& batch);
    ItemOutcome finish(FinishJob& job);
    static void setServerTime(const FinishJob& job);
    void cleanFolderOnce(const QString& folder);
    Fw::Result<std::shared_ptr<const OutputFolder>> openFolder(const QString& path);
    static QString whereNow(const OutputFolder& folder, const QString& path);
    static int maxInFlight();
    void makeSpares(const std::shared_ptr<const OutputFolder>& folder, std::size_t wanted);
    Fw::UniqueFd takeSpare(const std::shared_ptr<const OutputFolder>& folder);

    // Complete files gather for a moment (or until there are many) and then share one flush.
    static constexpr int kGatherMs = 30;
    static constexpr int kBatchFiles = 256;

    Main::NameMemo& memo_;
    const std::function<void(int, ItemOutcome)> settled_;
    const std::function<void()> roomMade_;
    bool syncEachFile_ = true;
    TemporaryMethod temporaryMethod_ = TemporaryMethod::Best;
    // The worker's own (a new run's reset waits until it is idle).
    FlushChoice flushChoice_;
    double eachFlushMs_ = 0;  // the fsyncs of the files of the batch under way
    int eachFlushed_ = 0;

    // The scheduling thread's own.
    QStringList cleanedFolders_;
    std::shared_ptr<const OutputFolder> folder_;  // the folder of the last item begun

    mutable std::mutex lock_;
    std::vector<FinishJob> waiting_;  // complete, for the next batch
    int inFlight_ = 0;                // handed over and not yet published
    // Nameless temporaries made ahead on the worker in the folder of the files it last named:
    // the next items take them, so that the transfers' thread does not wait on the file system
    // to make a file for each one. Closed (and so gone) at drain().
    std::vector<Fw::UniqueFd> spares_;
    std::shared_ptr<const OutputFolder> sparesFolder_;
    std::atomic<bool> draining_{false};

    Fw::SerialWorker finisher_;
};

}  // namespace Download
