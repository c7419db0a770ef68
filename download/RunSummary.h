#pragma once
// What a run reports at its end: how many items, which failed and why, and the closing message.
#include <QString>

#include <utility>
#include <vector>

namespace Download {

struct ItemOutcome {
    bool stored = false;
    bool cancelled = false;
    bool skipped = false;  // a file of its name and size was there already
    QString path;    // where the file was stored, or the file that made it skipped
    QString reason;  // why it was not
};

// What the end of a run reports.
class RunSummary {
public:
    void add(const QString& url, const ItemOutcome& outcome);
    int items() const { return items_; }
    int failedCount() const { return static_cast<int>(failures_.size()); }
    int skippedCount() const { return skipped_; }
    int storedCount() const { return static_cast<int>(stored_.size()); }
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
    // The run's folder was moved while the run went on: where its files are now.
    void setFolderMovedTo(const QString& folder) { movedTo_ = folder; }
    // "Done." ("Stopped." for a stopped run), then a line of how many were stored, skipped and
    // failed ("298 stored, 12 skipped, 2 failed."), then after a blank line the first few failed
    // URLs with their reasons; then how many were not reached, and how many were removed before
    // they were reached.
    QString finalMessage() const;

    static constexpr int kListed = 5;

private:
    QString unreachedLines() const;

    int items_ = 0;
    int skipped_ = 0;
    std::vector<std::pair<QString, QString>> failures_;  // URL, reason
    bool stopped_ = false;
    int notReached_ = 0;
    int removedBeforeReached_ = 0;
    QString movedTo_;
    std::vector<std::pair<QString, QString>> stored_;    // URL, path
};

// Percent i / count * 100, rounded to the nearest integer with halves to the even neighbour.
int SharePercent(qint64 i, qint64 count);

}  // namespace Download
