#pragma once
// The download engine: the items of a run, several at once over one libcurl multi handle, each
// into a file of the output folder, never replacing an existing entry and never leaving a partial
// file. This is its scheduler (the one multi loop: queue, transfers, retries, host pauses, the
// rate gate); naming (AnswerNaming.h), publishing (Publisher.h) and kept partials
// (KeptPartials.h) are parts of their own. Items begin in the order they were queued and are
// named in that order; a retry wait or a slow server holds one transfer only, and a server that
// asks for a pause (Retry-After) gets no new request until it is over. Needs no window: a
// DownloadJob (download/DownloadJob.h) drives it, for the window and for anyone else.
#include <QString>
#include <QHash>
#include <QStringList>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "download/Address.h"
#include "download/Checksum.h"
#include "download/TransferTypes.h"
#include "download/HostConnections.h"
#include "download/DurableFiles.h"
#include "download/Requests.h"
#include "download/RunSummary.h"
#include "download/RunShare.h"
#include "download/Transfer.h"
#include "download/UnfinishedWork.h"
#include "download/TargetNaming.h"
#include "support/Result.h"
#include "support/UniqueFd.h"

namespace Download {

namespace Checksum {
class Book;
}
struct EngineItem;
class StoredRecords;
class AnswerNaming;
class Publisher;
class KeptPartials;

// One item under way, as a snapshot shows it.
struct ItemFigures {
    int index = -1;
    qint64 received = 0;   // body bytes so far
    qint64 total = -1;     // its size, -1 while unknown
    int attempt = 0;       // its try
    qint64 retryAtMs = 0;  // SteadyNowMs() of its next try while it waits, else 0
    QString name;          // the file name it will be stored under, once its answer has named it
};

// What the window shows of a run under way: a snapshot, taken at any moment from any thread.
struct RunFigures {
    int underWay = 0;            // transfers begun and not finished (a retry's wait included)
    int earliest = -1;           // the number of the earliest unfinished item begun, -1 for none
    qint64 earliestReceived = 0; // its body bytes so far
    qint64 earliestTotal = -1;   // its size, -1 while unknown
    int earliestAttempt = 0;     // its try
    qint64 earliestRetryAtMs = 0;  // SteadyNowMs() of its next try while it waits, else 0
    qint64 bytesMoved = 0;       // every body byte the run's transfers have written
    double underWayShare = 0;    // the items under way, each as the share of its size received
    qint64 bytesLeft = -1;       // what the items under way still have to bring, -1 when unknown
    int finished = 0;            // items whose transfer has ended (stored or not)
    std::vector<ItemFigures> items;  // every item under way, a retry's wait included, by number
};

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

    // How many connections a run opens at once, in all and to one host (1 to 8): as many
    // transfers, except over HTTP/2, where one connection carries many of a host's transfers at
    // once. And the run's whole receiving rate in bytes per second (0: no limit). Set between runs.
    static constexpr int kMostAtOnce = 8;
    void setMaxTransfers(int count);
    int maxTransfers() const { return maxTransfers_; }
    void setSpeedLimit(qint64 bytesPerSecond) { speedLimit_ = bytesPerSecond; }
    // Whether a big item's rest may come over idle connections, every piece proven (on unless
    // turned off). Set between runs.
    void setSplitBigFiles(bool on) { splitBig_ = on; }
    // Whether the kept part of an item from a page (a Referer) that its address no longer
    // continues stays as it is, its outcome saying so (partRefused), instead of the file being
    // started over: someone may continue it from another address. Off unless set; between runs.
    void setKeepRefusedParts(bool on) { keepRefusedParts_ = on; }
    // How an item is named when its answer's headers arrive: the server's name first (else the
    // final address's decoded segment), and whether a file already there under that name with the
    // announced size makes the item skipped instead of numbered. Set between runs.
    void setNaming(bool serverNames, bool skipExisting);
    // "Skip unchanged": a file this program stored in the item's folder before is asked for
    // only if it changed (download/StoredRecord.h). Set between runs.
    void setSkipUnchanged(bool on);
    // What every request carries (download/Requests.h); nullptr for the plain defaults. Set
    // between runs.
    void setRequests(std::shared_ptr<const RequestOptions> requests) { requests_ = std::move(requests); }

    // The naming context of this run (its memo of names handed out).
    Main::NamingContext namingContext();

    // Fetches FetchAddress(url) (http or https only, refused before any connection otherwise;
    // redirects followed to http or https only) into the caller's open file `fd`, from its
    // current position, as a run of its own with one item: no name, no folder, no kept part.
    // Blocks until done. A status of 300 or above that ends it is a failure ("HTTP 404"; kind
    // Cancelled when cancelled). Transient failures are tried again (TransferLimits), a try cut
    // off going on from where it was when the server can say it is the same file, so the file
    // always holds one whole answer. A cancel() before or during it ends it; a cancelled
    // engine refuses until beginRun(). Not while runQueue() works.
    Fw::Result<TransferInfo> fetchInto(const QString& url, int fd, TransferProgress* progress = nullptr);

    // Waits until every item of the run is finished; their outcomes, in order.
    std::vector<ItemOutcome> finishRun();

    // The run fed through a queue, so that whoever lists the items (the window) never waits for a
    // transfer and the transfers never wait for it. enqueue() and withdrawQueued() may be called
    // from any thread while runQueue() works on another.
    //
    // Queues an item; returns its number in this run. It goes to the folder of `base`, under the
    // name its answer gives it (download/FileNaming.h), numbered when taken. Names are handed out
    // in the order items began, which is the queue's order unless a server's pause let later items
    // pass: a later item whose answer came first waits for the earlier ones' answers (a few
    // seconds at most) before it is numbered.
    // `referer` (RefererFor) goes with its requests. `digest`, when given, is what its file must
    // match (download/Checksum.h). `rank` is the item's place in its list: when
    // items under way would take the same name, the lower rank gets it, whenever each began (an
    // item resumed or tried again later keeps its place); -1 ranks it by its number.
    int enqueue(const QString& url, const QString& base, const QByteArray& referer = {}, qint64 rank = -1,
                std::optional<Checksum::Digest> digest = std::nullopt);
    // The same of an address the caller has already read: its fetch() is the item's address, and
    // it is not parsed again on the way to its transfer.
    int enqueue(Address address, const QString& base, const QByteArray& referer = {}, qint64 rank = -1,
                std::optional<Checksum::Digest> digest = std::nullopt);
    // About `count` items are to be queued in this run: room for their outcomes is made at once,
    // so that the table is not moved (and, for a moment, held twice) as it grows.
    void expectItems(std::size_t count);
    // The digests of the run's checksum files, for the items without one of their own; set before
    // runQueue() (nullptr for none).
    void setChecksumBook(std::shared_ptr<const Checksum::Book> book) { checksums_ = std::move(book); }

    // What can be done to one item under way, from any thread: Pause ends its transfer as a stop
    // does (a big one's bytes stay kept, its outcome says so) and frees its connection; Withdraw
    // ends it leaving nothing (no file, no part, no record); RetryNow makes an item that waits for
    // its next try go at once with every try again (a pause its server asked for still holds).
    // An item that is not under way (still queued, or ended) is left as it is. The loop applies
    // them at its next turn; the item's outcome follows as any outcome does.
    enum class ItemCommand { Pause, Withdraw, RetryNow };
    void command(int index, ItemCommand what);
    // Takes back the queued items not yet begun, in queue order. Their numbers keep an outcome
    // "Withdrawn" and are not used again.
    std::vector<int> withdrawQueued();
    // How many items wait in the queue.
    int queued();
    // No more items will come: runQueue() returns once the queue is empty and every transfer has
    // ended.
    void endInput();

    // What runQueue() tells whoever drives it, on its own thread.
    struct Listener {
        virtual ~Listener() = default;
        // The queue runs low (once until the next enqueue()), or is empty.
        virtual void onWantMore() {}
        virtual void onItemStarted(int /*index*/) {}
        // An item's transfer has ended; its file is being flushed and named, or it failed.
        virtual void onItemEnded(int /*index*/) {}
        // A few times a second while transfers are under way.
        virtual void onProgress() {}
        // An item's final outcome (stored, skipped, failed or cancelled): once for every item
        // that withdrawQueued() did not take back, from whichever engine thread settles it, and
        // always before finishRun() returns. The listener stays in use until then.
        virtual void onItemOutcome(int /*index*/, const ItemOutcome& /*outcome*/) {}
    };
    // Runs the queued items over up to maxTransfers() connections, until the input has ended, the queue
    // is empty and every transfer has ended; or until the run is cancelled (what is still queued
    // then stays queued).
    void runQueue(Listener& listener);
    void runQueue(const std::function<void()>& wantMore);
    // The number of the earliest item under way, -1 when none. Any thread.
    int currentItem() const { return current_.load(std::memory_order_relaxed); }
    RunFigures figures() const;

    // Aborts every transfer promptly (from any thread); later items are refused until
    // beginRun().
    void cancel();
    bool isCancelled() const { return cancelled_.load(); }

    // Each file is flushed to disk before it gets its name, so that a crash never leaves a
    // named file without its data. Only a measurement of what that costs turns it off.
    void setSyncEachFile(bool on);
    void setTemporaryMethod(TemporaryMethod method);

private:
    struct Queued {
        int index = 0;
        QString url, base, host;
        int intoFd = -1;  // the caller's file (fetchInto), else -1
        TransferProgress* progress = nullptr;  // the caller's, for an item into its file
        QByteArray referer{};
        qint64 rank = 0;
        std::optional<Checksum::Digest> digest{};
        std::size_t hostKey = 0;  // qHash(host), once the scheduler has looked for it (0: not yet)
        Address address{};        // `url` as read, for its transfer
    };
    int enqueueRead(QString url, Address address, const QString& base, const QByteArray& referer, qint64 rank,
                    std::optional<Checksum::Digest> digest);

    void resetRun();
    void drive(Listener& listener);
    bool startNext(Listener& listener, qint64 nowMs);
    void limitConnections();
    bool noteProtocols();
    // Splitting a big item over idle connections (Splitting.cpp).
    void splitTurn(Listener& listener, qint64 nowMs);
    bool settlePiece(Listener& listener, CURL* easy, CURLcode code, qint64 nowMs);
    bool mainPieceDone(EngineItem& item);
    bool startPiece(EngineItem& item);
    void dropPieces(EngineItem& item);
    void abandonSplit(EngineItem& item);
    void fallBack(EngineItem& item, qint64 nowMs);
    bool learnAddress(EngineItem& item);
    // A kept part whose record holds ranges on disk: only what is missing is asked.
    void resumeSplit(EngineItem& item);
    int freeConnections();
    void begin(Listener& listener, Queued item);
    void settle(Listener& listener, EngineItem& item, CURLcode code, qint64 nowMs);
    // `keep`: a stopped big item's bytes stay recorded (a stop, a pause); else nothing stays.
    void endActive(Listener& listener, std::size_t at, ItemOutcome outcome, bool keep = true);
    void applyCommands(Listener& listener, qint64 nowMs);
    void nameAnswered(Listener& listener);
    void assignNames(bool force);
    void holdForEarlier(const std::vector<EngineItem*>& waiting);
    void publishFigures();
    void setOutcome(int index, ItemOutcome outcome);
    void countFinished(Listener& listener, int index);

    // The queue asks for more when this few items are left in it: enough of them that the next
    // item for a server whose connection waits is among them where the list's servers take turns.
    static constexpr int kLowWater = 2000;
    // How far down the queue the next item is looked for, and how often the first waiting one
    // may be passed over for items whose connection is open already.
    static constexpr int kPickWindow = 2048;
    static constexpr int kMostPasses = 64;
    struct PickStamp {
        quint64 hosts = 0;
        std::size_t queued = 0;
        int head = -1;
        bool operator==(const PickStamp&) const = default;
    };

    TransferLimits limits_;
    std::shared_ptr<const RequestOptions> requests_;
    std::shared_ptr<const Checksum::Book> checksums_;
    std::shared_ptr<StoredRecords> stored_;  // "Skip unchanged" is on
    void* multi_ = nullptr;  // the run's libcurl multi handle, kept so that connections live on
    int maxTransfers_ = 4;
    qint64 speedLimit_ = 0;
    bool splitBig_ = true;
    bool keepRefusedParts_ = false;
    std::atomic<bool> cancelled_{false};
    std::atomic<int> current_{-1};

    // The engine's other parts: naming, publishing and kept partials, each with its own lock
    // at most.
    std::unique_ptr<AnswerNaming> naming_;
    std::unique_ptr<Publisher> publisher_;
    std::unique_ptr<KeptPartials> partials_;

    // The scheduling thread's own. The share outlives the transfers that use it.
    std::unique_ptr<RunShare> share_;
    std::vector<std::unique_ptr<EngineItem>> active_;
    std::vector<std::unique_ptr<EngineItem>> parked_;  // complete, waiting for their names
    // What the last item into a caller's file ended with, the transfer's own failure included.
    Fw::Result<TransferInfo> intoResult_ = Fw::Error::failed({});
    QHash<QString, qint64> hostPause_;  // host, SteadyNowMs() before which it gets no request
    HostConnections hosts_;
    int passedIndex_ = -1;  // the first waiting item when it was last passed over, and how often
    int passes_ = 0;
    int firstWaiting_ = -1;  // the first queued item whose server asks no pause, -1 for none
    PickStamp lastEmptyPick_;
    std::vector<std::pair<std::size_t, QString>> openHosts_;  // startNext()'s, kept for its memory
    qint64 lastFiguresMs_ = 0;
    qint64 lastProgressMs_ = 0;
    qint64 movedByEnded_ = 0;
    RateGate gate_;

    // The scheduler's one lock: what other threads hand in (the queue) and take out (figures,
    // outcomes).
    mutable std::mutex lock_;
    std::deque<Queued> queue_;
    std::vector<std::pair<int, ItemCommand>> commands_;
    bool inputEnded_ = false;
    bool moreWanted_ = false;
    // A wake-up is written and the loop has not yet come round to read what was handed in: a
    // batch of items or commands costs the loop one wake-up, not one each.
    bool wakeAsked_ = false;
    RunFigures figures_;
    std::vector<ItemOutcome> outcomes_;
    Listener* listener_ = nullptr;  // told of each outcome, from runQueue() until finishRun()
};

// The URL text as naming reads it: "\" splits like "/".
QString NamingText(const QString& url);

}  // namespace Download
