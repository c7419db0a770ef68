#include "app/RunProgress.h"

#include <QCoreApplication>
#include <QDir>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace RunProgress {

namespace {
const QString kDot = QStringLiteral(" \u00b7 ");
// The time left is shown once the speed has been measured this long.
constexpr qint64 kSteadyMs = 2000;
}  // namespace

QString Bytes(qint64 bytes) { return Download::ByteSize(bytes); }

QString Duration(qint64 seconds) {
    const qint64 h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
    if (h > 0) return QStringLiteral("%1:%2:%3").arg(h).arg(m, 2, 10, QLatin1Char('0')).arg(s, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, QLatin1Char('0'));
}

void RateMeter::sample(qint64 atMs, qint64 bytes) {
    // A transfer that started over counts from its new beginning.
    if (!samples_.empty() && bytes < samples_.back().second) samples_.clear();
    samples_.emplace_back(atMs, bytes);
    std::size_t old = 0;
    while (samples_.size() - old > 2 && samples_[old].first < atMs - kWindowMs) ++old;
    samples_.erase(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(old));
}

double RateMeter::bytesPerSecond() const {
    if (samples_.size() < 2) return -1;
    const auto& [t0, b0] = samples_.front();
    const auto& [t1, b1] = samples_.back();
    if (t1 - t0 < 500) return -1;
    return double(b1 - b0) * 1000.0 / double(t1 - t0);
}

void RunMeter::reset(const QString& folder, int items) {
    *this = RunMeter();
    folder_ = folder;
    items_ = items;
}

void RunMeter::started(Download::EntryId entry, const QString& shownName) {
    const auto [at, added] = under_.try_emplace(entry);
    if (!added) return;
    at->second.name = shownName;
    ++begun_;
    if (name_.isEmpty()) name_ = shownName;
    stale_ = true;
}

void RunMeter::requeued() {
    if (ended_ > 0) --ended_;
    if (begun_ > 0) --begun_;
    stale_ = true;
}

void RunMeter::renumber(const std::vector<std::pair<Download::EntryId, Download::EntryId>>& changes) {
    std::vector<std::pair<Download::EntryId, Under>> moved;
    Download::EntryId earliest = earliest_;
    for (const auto& [from, to] : changes) {
        if (from == earliest_) earliest = to;
        if (auto node = under_.extract(from); !node.empty()) moved.emplace_back(to, std::move(node.mapped()));
    }
    earliest_ = earliest;
    if (!endedRows_.empty()) {
        const std::unordered_map<Download::EntryId, Download::EntryId> to(changes.begin(), changes.end());
        for (Download::EntryId& entry : endedRows_)
            if (const auto it = to.find(entry); it != to.end()) entry = it->second;
    }
    for (auto& [to, under] : moved) {
        under.changed = true;
        under_.emplace(to, std::move(under));
    }
}

void RunMeter::finished(Download::EntryId entry, const Download::ItemOutcome& outcome) {
    const auto at = under_.find(entry);
    qint64 bytes = outcome.bytes;
    if (at != under_.end()) {
        if (bytes < 0) bytes = at->second.received;
        under_.erase(at);
        endedRows_.push_back(entry);
    } else {
        ++begun_;  // ended before the window heard it begin
    }
    bytes = std::max<qint64>(0, bytes);
    ++ended_;
    endedBytes_ += bytes;
    // A stored file's length is its size; a failed or skipped item tells nothing of the others.
    if (outcome.stored || outcome.paused) {
        const qint64 size = outcome.stored ? bytes : outcome.size;
        if (size > 0) {
            endedKnownSum_ += size;
            ++endedKnownCount_;
        }
    }
    stale_ = true;
}

void RunMeter::update(const Download::JobFigures& f, qint64 nowMs) {
    nowMs_ = nowMs;
    if (firstMs_ < 0) firstMs_ = nowMs;
    items_ = f.items;
    allBegun_ = f.allBegun;
    underWay_ = f.run.underWay;
    for (std::size_t k = 0; k < f.run.items.size() && k < f.entries.size(); ++k) {
        const auto at = under_.find(f.entries[k]);
        if (at == under_.end()) continue;
        const Download::ItemFigures& item = f.run.items[k];
        Under& under = at->second;
        under.received = item.received;
        under.size = item.total;
        under.retryInMs = item.retryAtMs > 0 ? std::max<qint64>(0, item.retryAtMs - nowMs) : -1;
        if (!item.name.isEmpty()) under.storedName = item.name;
        under.rate.sample(nowMs, item.received);
        under.changed = true;
    }
    rate_.sample(nowMs, f.run.bytesMoved);
    if (f.earliest != 0) earliest_ = f.earliest;
    if (const auto at = under_.find(earliest_); at != under_.end())
        name_ = at->second.storedName.isEmpty() ? at->second.name : at->second.storedName;
    else if (f.earliest != 0 && !f.earliestText.isEmpty())
        name_ = Download::ShownName(f.earliestText);
    stale_ = true;
}

// One pass over the rows under way, once for each look after a change.
void RunMeter::measure() const {
    stale_ = false;
    qint64 knownSum = endedKnownSum_;
    qint64 knownCount = endedKnownCount_;
    qint64 received = endedBytes_;
    // The rows under way whose size is known count it; the others count the mean, known below.
    double wholeKnown = double(endedBytes_);
    std::vector<qint64>& unknownReceived = unknownScratch_;
    unknownReceived.clear();
    for (const auto& [entry, under] : under_) {
        received += under.received;
        if (under.size > 0) {
            knownSum += under.size;
            ++knownCount;
            wholeKnown += double(std::max(under.size, under.received));
        } else {
            unknownReceived.push_back(under.received);
        }
    }
    const int items = std::max(items_, begun_);
    received_ = received;
    double share = 0;
    if (knownCount > 0) {
        const double mean = double(knownSum) / double(knownCount);
        double whole = wholeKnown;
        for (const qint64 got : unknownReceived) whole += std::max(mean, double(got));
        whole += double(std::max(0, items - begun_)) * mean;
        whole_ = static_cast<qint64>(std::llround(whole));
        share = whole > 0 ? double(received) / whole : 0;
    } else {
        whole_ = -1;
        share = items > 0 ? double(ended_) / double(items) : 0;
    }
    // An estimate from a few sizes can be far off (a small first file makes a run of big ones
    // look small): the caption says the whole only once half of the items have told theirs.
    wholeShown_ = whole_ > 0 && 2 * knownCount >= items;
    const bool over = items > 0 && ended_ >= items && allBegun_;
    const int value = over ? 100 : std::min(99, static_cast<int>(std::floor(std::clamp(share, 0.0, 1.0) * 100.0)));
    bar_ = std::max(bar_, value);
}

QStringList RunMeter::figuresTexts() const {
    settle();
    return {figuresText(true, true), figuresText(true, false), figuresText(false, false)};
}

QString RunMeter::figuresText(bool underWay, bool withSpeed) const {
    settle();
    QStringList parts;
    if (underWay) parts << QCoreApplication::translate("RunProgress", "%1 under way").arg(underWay_);
    if (wholeShown_)
        parts << Download::ByteShare(std::min(received_, whole_), whole_);
    else if (received_ > 0)
        parts << Bytes(received_);
    const double speed = rate_.bytesPerSecond();
    if (speed >= 0) {
        if (withSpeed) parts << Bytes(static_cast<qint64>(speed)) + QStringLiteral("/s");
        if (speed > 0 && wholeShown_ && rate_.spanMs() >= kSteadyMs) {
            const double seconds = double(std::max<qint64>(0, whole_ - received_)) / speed;
            parts << QCoreApplication::translate("RunProgress", "%1 left").arg(Duration(static_cast<qint64>(std::ceil(seconds))));
        }
    }
    parts << QCoreApplication::translate("RunProgress", "%1 of %2 done").arg(ended_).arg(std::max(items_, begun_));
    return parts.join(kDot);
}

RowFigures RunMeter::rowOf(Download::EntryId entry, Under& under) const {
    RowFigures row;
    row.entry = entry;
    if (under.size > 0) row.share = std::clamp(double(under.received) / double(under.size), 0.0, 1.0);
    if (under.retryInMs >= 0) {
        row.text = QCoreApplication::translate("RunProgress", "retry in %1").arg(Duration((under.retryInMs + 999) / 1000));
    } else {
        QStringList parts;
        if (under.size > 0)
            parts << QStringLiteral("%1 %").arg(static_cast<int>(std::floor(row.share * 100.0)));
        else if (under.received > 0)
            parts << Bytes(under.received);
        const double speed = under.rate.bytesPerSecond();
        if (!parts.isEmpty() && speed >= 0) parts << Bytes(static_cast<qint64>(speed)) + QStringLiteral("/s");
        row.text = parts.join(kDot);
    }
    const QString size = under.size > 0 ? Bytes(under.size) : QCoreApplication::translate("RunProgress", "size not known yet");
    row.tip = under.storedName.isEmpty()
                  ? QCoreApplication::translate("RunProgress", "Saving into %1 · %2").arg(QDir::toNativeSeparators(folder_), size)
                  : QCoreApplication::translate("RunProgress", "Saving as %1 · %2").arg(QDir::toNativeSeparators(QDir(folder_).filePath(under.storedName)), size);
    return row;
}

std::vector<RowFigures> RunMeter::changedRows() {
    std::vector<RowFigures> rows;
    for (auto& [entry, under] : under_) {
        if (!under.changed) continue;
        under.changed = false;
        RowFigures row = rowOf(entry, under);
        // Only what a row shows differently is sent to the list.
        const QString key = row.text + QChar(1) + row.tip + QChar(1) + QString::number(int(row.share * 1000));
        if (key == under.lastText) continue;
        under.lastText = key;
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace RunProgress
