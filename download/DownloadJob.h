#pragma once
// One run of the list, from Start to its result, as one object on the window's thread: made with
// the run's options, its folder and its items, started, stopped, told of rows removed or added
// while it goes, and heard through signals that carry their data, ending in exactly one result().
// The transfers go on in the engine's loop on a thread of the job's own; the window never waits
// for them and keeps no state of the run but what it shows.
//
// The job also keeps the record of unfinished work: what is not stored yet stays recorded while
// the run goes, a stored item is struck off as its outcome arrives, and a job destroyed in the
// middle of its run (the window closed) waits for the engine and records the last outcomes
// before it lets the recorder go.
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <set>
#include <vector>

#include "download/Checksum.h"
#include "download/DownloadEngine.h"
#include "download/Mending.h"
#include "download/RunSummary.h"
#include "download/WaitingQueue.h"

namespace Download {

class UnfinishedRunRecorder;

struct JobOptions {
    int atOnce = 4;
    qint64 speedLimit = 0;  // bytes per second for the whole run; 0 for none
    bool serverNames = true;
    bool skipExisting = false;
    bool skipUnchanged = false;  // "Skip unchanged": a file stored here before is asked for only if it changed
    std::shared_ptr<const RequestOptions> requests;  // User-Agent, cookies, server times
    bool splitBigFiles = true;  // idle connections may bring pieces of a big file
};

// The run as it stands, a few times a second.
struct JobFigures {
    RunFigures run;       // the engine's snapshot
    std::vector<EntryId> entries;  // the entry of each of run.items (0 for none)
    EntryId earliest = 0; // the earliest item under way (0 for none)
    QString earliestText;
    int items = 0;        // items begun and still to come, as the list stands now
    bool allBegun = false;  // nothing waits beyond the items under way
};

struct JobResult {
    RunSummary summary;
    bool stopped = false;
    // Items under way when the run stopped and those it never began, in list order.
    std::vector<EntryId> notReached;
};

// The name a row's item goes by until its answer names it: the last part of its address, decoded
// as naming decodes it.
QString ShownName(const QString& entryText);
class Address;
QString ShownName(const Address& address);  // the same, of the address the entry's text makes

class DownloadJob : public QObject {
    Q_OBJECT
public:
    // The engine is the window's (its connections live on between runs) and must outlive the job;
    // the recorder is shared, so that it outlives the job whatever the owner's order of teardown.
    DownloadJob(Engine& engine, QString folder, std::vector<JobItem> items, JobOptions options,
                std::shared_ptr<UnfinishedRunRecorder> recorder, QObject* parent = nullptr);
    // Stops a run still under way, waits for the engine (files complete by then keep their names)
    // and records what was not stored; no signal comes any more.
    ~DownloadJob() override;

    void start();
    // Aborts the transfers under way and begins nothing more; result() follows.
    void stop();
    bool isRunning() const { return started_ && !ended_; }
    bool isStopping() const { return stopping_ && !ended_; }
    const QString& folder() const { return folder_; }

    // ---- Steering the run while it goes, by entry ----
    // The job's queue follows the list: entries wait in the order of their ids, which rise with
    // their places in the list (renumber() keeps it so when rows move), and begin in that order
    // when a connection is free. A command on an entry is answered by what its item is now; one
    // the run does not hold, or that does not apply, does nothing.
    //
    // Rows added while the run goes: they join the queue in their places (or are not reached,
    // once nothing begins). Entries the run holds already are left as they are.
    void append(std::vector<JobItem> items);
    // Rows removed: a waiting entry is left out; one under way is cancelled and leaves neither
    // file nor part nor record; a stored item's file stays.
    void withdraw(const std::vector<EntryId>& entries);
    // Held back by the user: a waiting entry stays out of the queue; one under way stops as Stop
    // stops it (a big one keeps its bytes) and frees its connection. itemHeld() tells each.
    void pause(const std::vector<EntryId>& entries);
    // Held entries wait again in their places (itemQueued()); an entry the run does not hold yet
    // (held before it began) joins it. A kept part is continued from what is kept.
    void resume(std::vector<JobItem> items);
    // A failed item waits again in its place with every try again (itemQueued()); one waiting for
    // its next try goes at once; an entry failed in an earlier run joins this one.
    void retry(std::vector<JobItem> items);
    // The list gave entries new ids (rows moved, or put back): pairs of old and new id.
    void renumber(const std::vector<std::pair<EntryId, EntryId>>& changes);
    // A held or failed entry (or one still waiting) goes by a new address from now on; its kept
    // part, if any, was moved to that address or dropped by the caller (download/SameFile.h).
    // False for an entry under way or one the run does not hold.
    bool changeAddress(EntryId entry, const QString& text);

    // ---- Expired links ----
    // An item from a page whose address answers 401, 403, 404 or 410 while its part is kept, or
    // no longer continues that part, is handed to `mender` once in the run: mended, it goes on
    // from its kept bytes under the new address (itemAddressChanged); else it fails with the
    // mender's reason, its part still kept under its old address (changeAddress may continue
    // it), or, when its address only no longer continued the part, it starts over from its first
    // byte as it would have without a page. Without a mender, or a second time in a run, such
    // items end as any other. Set before start().
    void setMender(Mender mender) { mender_ = std::move(mender); }

signals:
    void itemStarted(Download::EntryId entry, const QString& name);
    // The name an item is stored under, once its answer has given it.
    void itemNamed(Download::EntryId entry, const QString& name);
    void itemProgress(Download::EntryId entry, qint64 received, qint64 size);
    void itemFinished(Download::EntryId entry, const Download::ItemOutcome& outcome);
    // Paused by the user: held out of the queue, with `kept` bytes kept (-1: none, it starts over).
    void itemHeld(Download::EntryId entry, qint64 kept);
    // Waiting again for a connection (resumed or tried again).
    void itemQueued(Download::EntryId entry);
    // Its expired address was mended from its page: the entry goes by `text` now.
    void itemAddressChanged(Download::EntryId entry, const QString& text);
    void progress(const Download::JobFigures& figures);
    void result(const Download::JobResult& result);

private:
    enum class Wanted : std::uint8_t { Nothing, Pause, Withdraw };
    struct Handed {
        std::optional<Checksum::Digest> digestCopy() const { return digest ? std::optional(*digest) : std::nullopt; }
        EntryId entry = 0;
        QString text;
        QString page;
        std::unique_ptr<Checksum::Digest> digest;  // rare: kept apart, so that an item without one is smaller
        int recordIndex = -1;
        bool withdrawn = false;  // taken back before it began
        bool begun = false;      // its transfer has begun
        bool ended = false;      // its outcome has come
        bool named = false;      // itemNamed was sent
        bool superseded = false; // held, tried again or removed: its outcome is not the entry's
        bool mending = false;    // failed, its page being read again: its outcome waits
        bool mayMend = false;    // from a page, its outcome still to come: it may want a mend
        Wanted wanted = Wanted::Nothing;  // a command for when it has begun, or its outcome
        ItemOutcome outcome;
    };
    // What the engine's threads tell, gathered and handed to the job's thread in batches.
    class Bridge;

    int feed();
    void settleQueue();
    void endInputWhenDone();
    void takeBack(bool refeedNow = false);
    Handed* handedOf(EntryId entry);
    void requeue(Handed& item);
    // Invoked by name from the engine's threads: nothing of theirs rides in Qt's event queue,
    // whose hand-over the thread sanitizer cannot see; the events pass under the bridge's lock.
    Q_INVOKABLE void drain();
    void drainNow();
    void showProgress();
    void started(int index);
    void ended(int index, ItemOutcome outcome);
    void runEnded();
    void strikeFromRecord(int recordIndex);
    // Expired links (DownloadJob_Steer.cpp).
    bool startMend(int index);
    bool startOver(Handed& item);
    void mendAnswered(int index, MendAnswer answer);
    void dropKept(const QString& text);
    int reRecord(int recordIndex, const QString& text, const QString& page);
    bool steerable() const { return started_ && !ended_ && !stopping_; }

    Engine& engine_;
    const QString folder_;
    const JobOptions options_;
    std::shared_ptr<UnfinishedRunRecorder> recorder_;
    std::unique_ptr<Bridge> bridge_;

    WaitingQueue waiting_;                // not handed to the engine yet, in list order
    std::map<EntryId, Pending> held_;     // paused by the user
    std::vector<Handed> handed_;          // by the engine's item number
    std::unordered_map<EntryId, int> indexOf_;  // the engine's latest number of a handed entry
    std::set<EntryId> queuedInEngine_;    // handed out and not begun
    // By the engine's item number, handed out and not begun: the name it shows once begun, worked
    // out from the address parsed when it was handed out.
    std::unordered_map<int, QString> shownNames_;
    int handedLive_ = 0;                  // handed, neither taken back nor superseded
    int removedBeforeReached_ = 0;
    int removedDuringRun_ = 0;
    bool started_ = false;
    bool stopping_ = false;
    bool inputEnded_ = false;
    bool refeedPosted_ = false;
    QTimer* drainLater_ = nullptr;  // the job's child
    qint64 lastDrainMs_ = -1;
    bool ended_ = false;
    Mender mender_;
    std::set<EntryId> mended_;  // mended once in this run: never again
    int mending_ = 0;           // mends under way
    int mayMend_ = 0;           // items handed out that may still want one
    bool endLater_ = false;     // the last of them ended: the input may end now

    // Checksum files of the list, fetched by an engine of their own before the items begin.
    QStringList checksumUrls_;
    std::unique_ptr<Engine> checksumEngine_;
    QStringList checksumProblems_;  // set by the run's thread before it ends

    std::thread thread_;
    // Set by the run's thread before it ends: the engine's last word on every item.
    std::vector<ItemOutcome> final_;
};

}  // namespace Download

Q_DECLARE_METATYPE(Download::JobFigures)
Q_DECLARE_METATYPE(Download::JobResult)
Q_DECLARE_METATYPE(Download::ItemOutcome)
