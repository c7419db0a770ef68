#pragma once
// What a run reports at its end: how many items, which failed and why, and the closing message.
#include <QString>
#include <QStringList>

#include <algorithm>
#include <utility>
#include <vector>

namespace Download {

struct ItemOutcome {
    bool stored = false;
    bool cancelled = false;
    bool skipped = false;  // a file of its name and size was there already
    // Stopped with its bytes kept in a recorded partial file: the next run of it continues there.
    bool paused = false;
    // Failed at an address that no longer serves its file (401, 403, 404, 410) while it came
    // from a page: its bytes stay kept (`bytes`) for its page to be read again.
    bool keptForMend = false;
    bool partRefused = false;  // and that because its address no longer continues it: unmended, it starts over
    bool checksumFailed = false;  // its file failed the check of `verified`
    QString path;    // where the file was stored, or the file that made it skipped
    QString reason;  // why it was not
    qint64 bytes = -1;  // body bytes it ended with: a stored file's length, a paused item's kept bytes
    qint64 size = -1;   // the size its answer announced; -1 when unknown
    // Its file was checked against a digest: what the check found ("SHA-256 matches SHA256SUMS
    // (…)"); a file that failed it is not stored but kept as "<name>.checksum-failed" (path).
    QString verified{};
};

// What the end of a run reports.
class RunSummary {
public:
    void add(const QString& url, const ItemOutcome& outcome);
    // Room for `items` stored ones at once: a long run's list is not moved as it grows, at the
    // moment its records are all still there.
    void expect(std::size_t items) { stored_.reserve(items); }
    int items() const { return items_; }
    int failedCount() const { return static_cast<int>(failures_.size()); }
    int skippedCount() const { return skipped_; }
    int storedCount() const { return static_cast<int>(stored_.size()); }
    int pausedCount() const { return paused_; }
    qint64 pausedBytes() const { return pausedBytes_; }
    // The failed items in list order: URL and reason.
    const std::vector<std::pair<QString, QString>>& failures() const { return failures_; }
    // The stored items in list order: URL and the path of its file.
    const std::vector<std::pair<QString, QString>>& stored() const { return stored_; }
    // A stopped run; items it did not fetch (those it stopped, those after them), and entries
    // taken off the list before the run came to them.
    void setStopped(bool stopped) { stopped_ = stopped; }
    bool stopped() const { return stopped_; }
    void addNotReached(int count) { notReached_ += count; }
    int notReached() const { return notReached_; }
    void addRemovedBeforeReached(int count) { removedBeforeReached_ += count; }
    // Items taken off the list after they had begun (cancelled, nothing left of them).
    void addRemovedDuringRun(int count) { removedDuringRun_ += count; }
    int removedDuringRun() const { return removedDuringRun_; }
    // An item the user paused and that stayed paused, with the bytes it keeps (-1: none).
    void addHeld(qint64 kept) {
        ++held_;
        heldBytes_ += std::max<qint64>(0, kept);
    }
    int heldCount() const { return held_; }
    // A line the closing message ends with (a checksum file that was ignored, and why).
    void addNote(const QString& note) { notes_ << note; }
    // The run's folder was moved while the run went on: where its files are now.
    void setFolderMovedTo(const QString& folder) { movedTo_ = folder; }
    // "Done." ("Stopped." for a stopped run), then a line of how many were stored, skipped and
    // failed ("298 stored, 12 skipped, 2 failed."), then after a blank line the first few failed
    // URLs with their reasons; then how many were paused with their bytes kept, how many the user
    // paused, how many were not reached, how many were removed before they were reached and how
    // many while they were under way. Those counts add up to the run's items.
    QString finalMessage() const;

    static constexpr int kListed = 5;

private:
    QString unreachedLines() const;

    int items_ = 0;
    int skipped_ = 0;
    int paused_ = 0;
    qint64 pausedBytes_ = 0;
    std::vector<std::pair<QString, QString>> failures_;  // URL, reason
    bool stopped_ = false;
    int notReached_ = 0;
    int removedBeforeReached_ = 0;
    int removedDuringRun_ = 0;
    int held_ = 0;
    qint64 heldBytes_ = 0;
    QString movedTo_;
    QStringList notes_;
    std::vector<std::pair<QString, QString>> stored_;    // URL, path
};

// "512 B", "1.5 kB", "19.8 MB", "2.0 GB" (powers of 1000, as transfer speeds are given).
QString ByteSize(qint64 bytes);
// "77.6 of 209.7 MB": both in the unit of the whole.
QString ByteShare(qint64 part, qint64 whole);
// "1 download", "3 downloads".
QString Counted(qint64 count, const char* one, const char* many);

// Percent i / count * 100, rounded to the nearest integer with halves to the even neighbour.
int SharePercent(qint64 i, qint64 count);

}  // namespace Download
