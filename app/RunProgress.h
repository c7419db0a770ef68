#pragma once
// What the window shows of a run: the bar's share of the run's bytes, the caption's figures and
// each row's own, all worked out from what the job tells, without a widget, so that they can be
// checked on their own.
#include <QString>

#include <unordered_map>
#include <utility>
#include <vector>

#include "download/DownloadJob.h"

namespace RunProgress {

// "512 B", "1.5 kB", "19.8 MB", "2.0 GB" (powers of 1000, as transfer speeds are given).
QString Bytes(qint64 bytes);
// "0:41", "1:02:03".
QString Duration(qint64 seconds);

// The speed over the last few seconds, from samples of the bytes received.
class RateMeter {
public:
    static constexpr qint64 kWindowMs = 3000;
    void reset() { samples_.clear(); }
    void sample(qint64 atMs, qint64 bytes);
    // -1 until the samples span half a second.
    double bytesPerSecond() const;
    // How long the samples reach back.
    qint64 spanMs() const { return samples_.size() < 2 ? 0 : samples_.back().first - samples_.front().first; }

private:
    // Time and bytes, oldest first: a few dozen at most. Nothing is allocated before the first
    // sample, so that the many items that begin and end between two looks of the window cost none.
    std::vector<std::pair<qint64, qint64>> samples_;
};

// A row under way, as its right end and its tip show it.
struct RowFigures {
    Download::EntryId entry = 0;
    double share = -1;   // of its size received, -1 while its size is unknown
    QString text;        // "45 % · 2.1 MB/s", "1.2 MB · 2.1 MB/s", "retry in 0:07"
    QString tip;         // "Saving as /out/big.iso · 209.7 MB"
};

// The run as the window sees it, fed with the job's signals.
//
// The bar counts bytes: the run's received bytes over its whole bytes, where an item not begun
// yet counts as the mean size of the items begun so far whose size is known, and an item of
// unknown size as that mean until it ends. Until any size is known it counts ended items. It
// never moves backwards and shows 100 only once every item has ended.
class RunMeter {
public:
    // A new run into `folder` of `items` items, as the list stands.
    void reset(const QString& folder, int items);
    void started(Download::EntryId entry, const QString& shownName);
    void finished(Download::EntryId entry, const Download::ItemOutcome& outcome);
    // An item that ended waits again (resumed or tried again): it is no longer counted as done.
    void requeued();
    // Entries got other ids (rows moved in the list): pairs of old and new id.
    void renumber(const std::vector<std::pair<Download::EntryId, Download::EntryId>>& changes);
    // A snapshot of the run at `nowMs` (steady milliseconds, as Download::SteadyNowMs() gives).
    void update(const Download::JobFigures& figures, qint64 nowMs);

    // 0 to 100.
    int barValue() const {
        settle();
        return bar_;
    }
    // The earliest unfinished item's file name: the name it is stored under, or the address's
    // last part until that is known.
    const QString& name() const { return name_; }
    // "6 under way · 157 of 348 MB · 4.1 MB/s · 0:38 left · 34 of 55 done"
    QString figuresText() const { return figuresText(true, true); }
    // That, then shorter for a narrow bar: without the speed, then without how many are under way.
    QStringList figuresTexts() const;
    // The rows under way whose figures changed since the last call, and those no longer under way.
    std::vector<RowFigures> changedRows();
    std::vector<Download::EntryId> takeEndedRows() { return std::exchange(endedRows_, {}); }

    qint64 receivedBytes() const {
        settle();
        return received_;
    }
    qint64 wholeBytes() const {  // -1 while no size is known
        settle();
        return whole_;
    }
    int endedItems() const { return ended_; }
    int items() const { return items_; }

private:
    struct Under {
        QString name;        // shown until the answer names it
        QString storedName;  // the answer's name
        qint64 received = 0;
        qint64 size = -1;
        qint64 retryInMs = -1;
        RateMeter rate;
        bool changed = true;
        QString lastText;
    };
    // The bar and the sums, worked out again only when asked for after a change: a run of
    // small files begins and ends hundreds of items between two looks of the window.
    void settle() const {
        if (stale_) measure();
    }
    void measure() const;
    QString figuresText(bool underWay, bool speed) const;
    RowFigures rowOf(Download::EntryId entry, Under& under) const;

    QString folder_;
    std::unordered_map<Download::EntryId, Under> under_;
    std::vector<Download::EntryId> endedRows_;
    // Ended items, summed.
    int ended_ = 0;
    qint64 endedBytes_ = 0;
    qint64 endedKnownSum_ = 0;  // the sizes of ended items whose size is known
    int endedKnownCount_ = 0;
    int begun_ = 0;
    int items_ = 0;
    int underWay_ = 0;
    bool allBegun_ = false;
    // What measure() works out.
    mutable bool stale_ = false;
    mutable qint64 received_ = 0;
    mutable qint64 whole_ = -1;
    mutable bool wholeShown_ = false;  // enough items have told their size for the estimate to be said
    mutable int bar_ = 0;
    QString name_;
    Download::EntryId earliest_ = 0;
    RateMeter rate_;
    qint64 nowMs_ = 0;
    qint64 firstMs_ = -1;
    mutable std::vector<qint64> unknownScratch_;  // measure()'s, kept for its memory
};

}  // namespace RunProgress
