#pragma once
// Work a run did not finish, kept in the program's state folder so that the next start can offer
// it back: the entries a run had not stored yet, and the partial files of big items with what
// is needed to continue them.
//
// Several copies of the program may run at once. Each keeps its own record of its run and holds
// a lock (flock) on it while it lives; only a record whose lock is free is offered back, and
// only a partial whose lock is free is continued or removed.
#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "support/UniqueFd.h"

namespace Download {

// $XDG_STATE_HOME/Fetchwright when that is an absolute path, else ~/.local/state/Fetchwright.
// Not created here.
QString StateFolder();

// Milliseconds since the epoch. Tests hand in their own to age records.
using Clock = std::function<qint64()>;

// Records and partials not touched for this long are removed.
inline constexpr qint64 kKeepUnfinishedMs = 30LL * 24 * 60 * 60 * 1000;
// A run's record is never read or written beyond this size (the list files' own limit).
inline constexpr qint64 kMaxRunRecordBytes = 256LL * 1024 * 1024;

struct UnfinishedRun {
    QString folder;       // the output folder, as the folder box had it
    QStringList entries;  // in list order
};

// The record of one copy's unfinished run, in <state>/runs/run-<id>.rec. The owning copy holds
// an exclusive flock on the file from its first save (or from taking a leftover) until it goes;
// a copy that ends without remove() (killed, closed mid-run) leaves the record behind for the
// next start to find.
class UnfinishedRunRecord {
public:
    explicit UnfinishedRunRecord(QString stateFolder = StateFolder(), Clock clock = {});
    UnfinishedRunRecord(UnfinishedRunRecord&&) noexcept;
    UnfinishedRunRecord& operator=(UnfinishedRunRecord&&) noexcept;
    ~UnfinishedRunRecord();  // lets go of the lock; the record stays

    // Replaces the record whole (a temporary in the same folder, flushed, then renamed over it):
    // a crash leaves the old record or the new one. False when it could not be written or would
    // exceed kMaxRunRecordBytes; the record on disk is then the last one that was.
    bool save(const UnfinishedRun& run);
    // The run ended normally: nothing of it stays.
    void remove();
    // Is there a record on disk that this copy owns?
    bool holdsRecord() const { return lock_.valid(); }
    QString path() const;

    // A record left by a copy that is gone, locked by this copy while it is held, so that no
    // other copy offers it at the same time. Dropped without take() or discard(), it stays on
    // disk for a later start.
    class Leftover {
    public:
        const UnfinishedRun& run() const { return run_; }
        qint64 savedAt() const { return savedAt_; }
        // This copy owns the record now: a later crash leaves it to be offered again.
        UnfinishedRunRecord take() &&;
        // Removes the record.
        void discard() &&;

    private:
        friend class UnfinishedRunRecord;
        Leftover() = default;
        UnfinishedRun run_;
        qint64 savedAt_ = 0;
        QString runsFolder_;
        QByteArray id_;
        Fw::UniqueFd lock_;
        Clock clock_;
    };
    // The newest record whose owner is gone. A record that cannot be read (garbage, truncated,
    // too big, no regular file) or that is older than kKeepUnfinishedMs is removed on the way;
    // nothing but files named like records in <state>/runs is ever removed.
    static std::optional<Leftover> FindLeftover(const QString& stateFolder = StateFolder(), Clock clock = {});

private:
    UnfinishedRunRecord(QString runsFolder, QByteArray id, Fw::UniqueFd lock, Clock clock);

    QString runsFolder_;
    QByteArray id_;
    Fw::UniqueFd lock_;  // open on the record file, flocked
    Clock clock_;
};

// Hands a run's progress to the record while the run goes, at little cost to the caller: each
// call only marks the state, and a thread of its own writes the record at most a few times a
// second (less often for a big list, whose writing takes longer).
//
// How the download run uses it (the window owns one, Form1::unfinishedRun()):
//   begin(folder, entries)   when a run starts, with every entry it is to fetch, in order;
//   add(entry)               for an entry the run takes on after it started (returns its index);
//   stored(index)            when the entry at that index (0-based, in begin/add order) is stored:
//                            it leaves the record. Failed and skipped entries stay in it, since
//                            the offer says they were not stored;
//   flush()                  when a run stops early (Stop, the window closing): the record on
//                            disk gets the latest state before the call returns;
//   finishedNormally()       when the run ended with every entry stored, failed or skipped and
//                            its closing message was seen: the record is removed.
// All of these are for one thread (the window's). Destroying the recorder writes the latest
// state of a run under way and leaves the record for the next start.
class UnfinishedRunRecorder {
public:
    explicit UnfinishedRunRecorder(QString stateFolder = StateFolder(), Clock clock = {});
    ~UnfinishedRunRecorder();
    UnfinishedRunRecorder(const UnfinishedRunRecorder&) = delete;
    UnfinishedRunRecorder& operator=(const UnfinishedRunRecorder&) = delete;

    // A taken leftover: the next run writes into it, and until then it stays as it is.
    void adopt(UnfinishedRunRecord record);

    void begin(const QString& folder, const QStringList& entries);
    int add(const QString& entry);
    void stored(int index);
    void flush();
    void finishedNormally();

    // Entries of the run not stored yet; false from isActive() before begin and after
    // finishedNormally.
    int pendingCount() const;
    bool isActive() const;
    // How many times the record was written (tests check the batching).
    int writes() const;

private:
    void writerLoop();
    void writeLatest();

    const QString stateFolder_;
    const Clock clock_;
    mutable std::mutex state_;  // guards everything below up to io_
    std::condition_variable wake_;
    bool active_ = false;
    bool dirty_ = false;
    bool stopping_ = false;
    QString folder_;
    QStringList entries_;
    std::vector<bool> storedFlags_;
    int pending_ = 0;
    int writes_ = 0;
    qint64 minGapMs_ = 250;
    std::chrono::steady_clock::time_point lastWrite_{};

    std::mutex io_;  // one write or removal at a time; taken before state_, never after
    std::optional<UnfinishedRunRecord> record_;
    std::thread writer_;
};

// ---- Partial files ----

// What is known about the partial file of a big item, in <state>/partials, one file per output
// folder and address. The partial is only ever continued or removed while it is still the file
// this program made: same name (which ends in ".part"), a regular file, the device and inode
// noted when it was created, at least goodLength bytes, and no other copy holding its lock.
// A record naming some other file (forged, or the user replaced the partial) touches nothing.
struct PartialRecord {
    QString url;
    QString folder;
    QString partName;     // a name in `folder`, ending in ".part"
    QByteArray validator; // the ETag or Last-Modified the bytes came with
    qint64 total = -1;    // the whole length the server announced; -1 when unknown
    qint64 goodLength = 0;  // bytes known to be on disk (flushed): never append after more
    // Who the partial is, set by CreatePartialLocked: device and inode, and as far as the file
    // system keeps them its birth time and a mark in an extended attribute. Inode numbers are
    // given again as soon as a file is deleted, so a file the user put in the partial's place
    // may well have the same inode: the birth time and mark tell it apart.
    quint64 device = 0;
    quint64 inode = 0;
    qint64 birthNs = 0;   // 0 where the file system keeps no birth time
    QByteArray mark;      // empty where it keeps no extended attributes
    qint64 savedAt = 0;   // set by the store
};

// Is this a name a partial may have: one component, ending in ".part" with a name before it?
bool IsPartialName(const QString& name);

// Creates `record.partName` in `record.folder` (never an existing entry) with an exclusive flock
// held as long as the descriptor is open, and notes its device and inode in `record`. Record it
// with PartialStore::put only after this. Invalid (with errno) when it could not be made.
Fw::UniqueFd CreatePartialLocked(PartialRecord& record);
// Opens the recorded partial for continuing, when it is still the recorded file: cut back to
// record.goodLength (what lies after it may never have reached the disk) and positioned at its
// end, with an exclusive flock, so that no two copies continue one partial. Invalid when another
// copy holds it (errno EWOULDBLOCK) or the file is not the recorded one (errno ESTALE) or gone.
Fw::UniqueFd OpenPartialLocked(const PartialRecord& record);

class PartialStore {
public:
    explicit PartialStore(QString stateFolder = StateFolder(), Clock clock = {});

    // Records or updates the partial of (record.folder, record.url), whole or not at all.
    bool put(PartialRecord record);
    std::optional<PartialRecord> find(const QString& folder, const QString& url) const;
    // Forgets the record only (the item was stored: its partial became the stored file).
    void remove(const QString& folder, const QString& url);
    // Forgets the record and removes its partial when that is still the recorded one and not
    // in use. True when a partial was removed.
    bool removeWithPartial(const QString& folder, const QString& url);
    // The partials of a run the user does not want back. Returns how many files were removed.
    int removeForRun(const QString& folder, const QStringList& urls);
    // Records not updated for kKeepUnfinishedMs go, with their partials (as removeWithPartial);
    // records that cannot be read go alone. Returns how many partial files were removed.
    int removeExpired();

private:
    QString recordPath(const QString& folder, const QString& url) const;
    bool removeRecordAndPartial(const QString& recordFile, const PartialRecord& record);

    QString partialsFolder_;
    Clock clock_;
};

}  // namespace Download
