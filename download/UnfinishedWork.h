#pragma once
// Work a run did not finish, kept in the program's state folder so that the next start can offer
// it back: the entries a run had not stored yet (here), and the partial files of big items with
// what is needed to continue them (download/PartialRecords.h).
//
// Several copies of the program may run at once. Each keeps its own record of its run and holds
// a lock (flock) on it while it lives; only a record whose lock is free is offered back, and
// only a partial whose lock is free is continued or removed.
#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "download/PartialRecords.h"
#include "support/SerialWorker.h"
#include "support/UniqueFd.h"

namespace Download {

// A run's record is never read or written beyond this size (the list files' own limit).
inline constexpr qint64 kMaxRunRecordBytes = 256LL * 1024 * 1024;

struct UnfinishedRun {
    QString folder;       // the output folder, as the folder box had it
    QStringList entries;  // in list order
    QStringList pages{};  // the page each entry was found on ("" for none): as many, or none at all
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
    // The same for a record's text (download/RunRecordFormat.h).
    bool saveText(const QByteArray& text);
    // Adds lines of changes to the record this copy wrote last, flushed; false when there is
    // none, the record would exceed kMaxRunRecordBytes, or the write failed (a rewrite is due).
    bool append(const QByteArray& lines);
    // The bytes of the record on disk, as this copy wrote it.
    qint64 size() const { return size_; }
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
    bool writable_ = false;  // lock_ is the file this copy wrote, open for writing
    qint64 size_ = 0;
};

// Hands a run's progress to the record while the run goes, at little cost to the caller: each
// call only marks the state, and a serial worker of its own writes the record at most a few times a
// second. A write appends what changed since the last (entries added, entries stored), so that
// its cost follows the changes, not the list; the record is written whole at the start and once
// its lines of changes outgrow the entries still in it.
//
// How the download run uses it (the window owns one, Form1::unfinishedRun()):
//   begin(folder, entries, pages)  when a run starts, with every entry it is to fetch, in order,
//                            and the page each was found on (none, or as many as entries);
//   add(entry, page)         for an entry the run takes on after it started (returns its index);
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

    void begin(const QString& folder, const QStringList& entries, const QStringList& pages = {});
    int add(const QString& entry, const QString& page = {});
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
    void postWrite(std::unique_lock<std::mutex>& hold);
    void writeLatest();

    const QString stateFolder_;
    const Clock clock_;
    mutable std::mutex state_;  // guards everything below up to record_
    bool active_ = false;
    bool dirty_ = false;
    bool writePosted_ = false;  // a write is queued or under way
    QString folder_;
    QStringList entries_;
    QStringList pages_;  // empty while no entry has a page
    std::vector<bool> storedFlags_;
    int pending_ = 0;
    // What the record on disk lacks: it is to be written whole, or these appended.
    bool rewrite_ = true;
    std::vector<int> added_;   // indices taken on since the last write
    std::vector<int> struck_;  // indices stored since the last write
    std::vector<int> lineOf_;  // each index's number in the record on disk, -1 while not in it
    int recordLines_ = 0;      // entries the record on disk numbers
    qint64 liveBytes_ = 0;     // what the entries not stored take in it
    int writes_ = 0;
    qint64 minGapMs_ = 250;
    std::chrono::steady_clock::time_point lastWrite_{};

    std::optional<UnfinishedRunRecord> record_;  // the writer's, or this thread's while it is idle
    Fw::SerialWorker writer_;
};

}  // namespace Download
