#pragma once
// The download engine: one URL at a time into a file of the output folder, never replacing an
// existing entry and never leaving a partial file. Data goes to a hidden temporary file in the
// output folder and is published under its name only once it is complete and on disk. Needs no
// window: the start button drives it step by step, and RunHeadless drives it the same way.
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "download/Address.h"
#include "download/Downloader.h"
#include "download/TargetNaming.h"
#include "support/Dialogs.h"
#include "support/Result.h"
#include "support/UniqueFd.h"

namespace Download {

struct ItemOutcome {
    bool stored = false;
    bool cancelled = false;
    QString path;    // where the file was stored
    QString reason;  // why it was not
};

// Each item is fetched into an anonymous file of the output folder (O_TMPFILE) that gets its
// name only when it is complete: a killed run leaves nothing. Where the file system has no
// anonymous files (FAT, some network file systems) a named temporary ".fetchwright-XXXXXX.part"
// (six letters or digits) stands in; it is locked from its creation until it has its name, and
// recorded in a per-user registry (one empty file per temporary under
// $XDG_STATE_HOME/Fetchwright/temporaries, named after its device, inode and name).
bool IsTemporaryName(const QString& fileName);
// Removes the named temporaries a killed run left in `folder`: only those the registry records
// as this user's, whose lock is free and whose name still belongs to the recorded file. A file
// merely named like one (downloaded, or the user's own) stays. Returns how many were removed.
int RemoveLeftoverTemporaries(const QString& folder);

// How a temporary is made: Best tries an anonymous file first; Named is what a file system
// without anonymous files gets, and is chosen directly only by tests.
enum class TemporaryMethod { Best, Named };

// Publishes `from` as `to` inside one folder without ever replacing an entry called `to`
// (error kind NameTaken when the name is taken).
enum class PublishMethod { Best, LinkUnlink, ReserveRename };
Fw::Result<void> PublishWithoutReplace(int dirFd, const char* from, const char* to,
                                       PublishMethod method = PublishMethod::Best);

// Can one flush of a whole file system (syncfs) stand in for the fsync of each file on it? Only
// where that flush reaches the disk and reports every file's write errors: local disk file
// systems on a kernel of 5.17 or later. A file system stacked on another (overlay, encrypted),
// a network or FUSE one, or an older kernel gets an fsync per file.
bool SharedFlushCoversFiles(long fileSystemType, const char* kernelRelease);

class Engine {
public:
    explicit Engine(TransferLimits limits = {});
    // Waits for the files still being finished.
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // A new run: names handed out before are forgotten, folders are checked for leftover
    // temporaries again, and a cancel is lifted.
    void beginRun();

    // The naming context of this run (its memo of names handed out).
    Main::NamingContext namingContext();

    // Fetches `url` into a temporary file in the folder of `target` (a free name for `base`).
    // The flush to disk and the publishing as `target` (or the next free name when `target` was
    // taken meanwhile) go on in the background while the next item is fetched. Returns the
    // item's number in this run. Off the window thread is fine; one call at a time.
    int fetchItem(const QString& url, const QString& base, const QString& target);

    // Waits until every item of the run is finished; their outcomes, in order.
    std::vector<ItemOutcome> finishRun();

    // The items finished (stored under their names, or failed) since the last call, with their
    // numbers; for showing outcomes while the run goes on. Any thread.
    std::vector<std::pair<int, ItemOutcome>> takeFinished();

    // The same run fed through a queue, so that whoever lists the items (the window) never waits
    // for a transfer and the transfers never wait for it. enqueue() and withdrawQueued() may be
    // called from any thread while runQueue() works on another.
    //
    // Queues an item; returns its number in this run, as fetchItem would. It is given the next
    // free name for `base` when it begins.
    int enqueue(const QString& url, const QString& base);
    // Takes back the queued items not yet begun, in queue order. Their numbers keep an outcome
    // "Withdrawn" and are not used again.
    std::vector<int> withdrawQueued();
    // How many items wait in the queue.
    int queued();
    // No more items will come: runQueue() returns once the queue is empty.
    void endInput();
    // Fetches the queued items in order until the input has ended and the queue is empty, or the
    // run is cancelled (what is still queued then stays queued). `wantMore` is called on this
    // thread whenever the queue runs low (once until the next enqueue()), and again when it is
    // empty.
    void runQueue(const std::function<void()>& wantMore);
    // The number of the item being fetched by runQueue(), -1 between items. Any thread.
    int currentItem() const { return current_.load(std::memory_order_relaxed); }

    // Aborts the item in progress promptly (from any thread); later items are refused until
    // beginRun().
    void cancel();

    // Where the transfers report how far they are (nullptr: nowhere); must outlive the engine.
    void setProgress(TransferProgress* progress) { downloader_.setProgress(progress); }

    // Each file is flushed to disk before it gets its name, so that a crash never leaves a
    // named file without its data. Only a measurement of what that costs turns it off.
    void setSyncEachFile(bool on);
    void setTemporaryMethod(TemporaryMethod method) { temporaryMethod_ = method; }

private:
    // The output folder, opened once for the items that go to it.
    struct Folder {
        QString path;
        Fw::UniqueFd fd;
        long nameMax = 0;
        quint64 device = 0, inode = 0;
        mutable SpaceBudget space;  // used by the fetching thread only
    };
    struct FinishJob {
        int index = 0;
        Fw::UniqueFd fd;     // the complete temporary file, open (and locked when named)
        std::shared_ptr<const Folder> folder;
        std::chrono::steady_clock::time_point completeAt;
        QByteArray tempName;  // empty for an anonymous file
        QByteArray nameBytes;
        QString base;
        QString target;
        bool onDisk = false;  // a flush of its file system has written it out
    };
    ItemOutcome fetchIntoTemporary(const QString& url, FinishJob& job);
    void fetchInto(int index, const QString& url, const QString& base, const QString& target);
    Fw::Result<std::shared_ptr<const Folder>> openFolder(const QString& path, bool fresh);
    ItemOutcome finish(FinishJob& job);
    void flushTogether(std::vector<FinishJob>& batch);
    void startFinisher();
    void finisherLoop();
    void cleanFolderOnce(const QString& folder);

    // One finisher: complete files gather for a moment (or until there are many) and then share
    // one flush, which goes on while the next files come in. Each waiting file holds a descriptor,
    // so how many may wait depends on the descriptor limit.
    static constexpr int kGatherMs = 30;
    // The queue asks for more when this few items are left in it.
    static constexpr int kLowWater = 16;
    static constexpr int kBatchFiles = 256;
    static int maxInFlight();

    Downloader downloader_;
    Main::NameMemo memo_;
    QStringList cleanedFolders_;
    bool syncEachFile_ = true;
    TemporaryMethod temporaryMethod_ = TemporaryMethod::Best;
    std::atomic<bool> sharedFlushTooSlow_{false};

    std::mutex lock_;
    std::condition_variable work_;  // a job to finish, or stop
    std::condition_variable room_;  // a job finished
    std::deque<FinishJob> jobs_;
    int inFlight_ = 0;
    bool stopping_ = false;
    bool finishing_ = false;  // finishRun() waits: flush what there is at once
    std::shared_ptr<const Folder> folder_;  // the folder of the last item (fetching thread only)

    struct Queued {
        int index = 0;
        QString url, base;
    };
    std::mutex inputLock_;
    std::condition_variable input_;  // an item queued, the input ended, or cancelled
    std::deque<Queued> queue_;
    bool inputEnded_ = false;
    bool moreWanted_ = false;
    std::atomic<int> current_{-1};
    std::vector<ItemOutcome> outcomes_;
    std::vector<int> finished_;  // outcomes set since the last takeFinished()
    std::thread finisher_;
};

// What the end of a run reports.
class RunSummary {
public:
    void add(const QString& url, const ItemOutcome& outcome);
    int items() const { return items_; }
    int failedCount() const { return static_cast<int>(failures_.size()); }
    // The failed items in list order: URL and reason.
    const std::vector<std::pair<QString, QString>>& failures() const { return failures_; }
    // The stored items in list order: URL and the path of its file.
    const std::vector<std::pair<QString, QString>>& stored() const { return stored_; }
    // A stopped run; items it did not fetch (the one it stopped, those after it), and entries
    // taken off the list before the run came to them.
    void setStopped(bool stopped) { stopped_ = stopped; }
    bool stopped() const { return stopped_; }
    void addNotReached(int count) { notReached_ += count; }
    int notReached() const { return notReached_; }
    void addRemovedBeforeReached(int count) { removedBeforeReached_ += count; }
    // "Done." ("Stopped." for a stopped run) when every item was stored; otherwise that, a blank
    // line, how many of how many failed and the first few failed URLs with their reasons. Then
    // how many were not reached, and how many were removed before they were reached.
    QString finalMessage() const;

    static constexpr int kListed = 5;

private:
    QString unreachedLines() const;

    int items_ = 0;
    std::vector<std::pair<QString, QString>> failures_;  // URL, reason
    bool stopped_ = false;
    int notReached_ = 0;
    int removedBeforeReached_ = 0;
    std::vector<std::pair<QString, QString>> stored_;    // URL, path
};

// Percent i / count * 100, rounded to the nearest integer with halves to the even neighbour.
int SharePercent(qint64 i, qint64 count);

// The URL text as naming reads it: "\" splits like "/".
QString NamingText(const QString& url);

// One whole run without a window, in the order the start button takes: name, fetch, publish.
// Each entry is read as FetchAddress(entry) for both its name and its transfer.
RunSummary RunHeadless(Engine& engine, Dialogs::DialogService& dialogs, const QStringList& urls,
                       const QString& folder);

}  // namespace Download
