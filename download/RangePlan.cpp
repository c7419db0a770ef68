#include "download/RangePlan.h"

#include <QCoreApplication>
#include <QList>

#include <algorithm>

namespace Download {

namespace {
// Ordered ranges that neither overlap nor leave the item.
bool wellFormed(const std::vector<ByteRange>& ranges, qint64 total) {
    qint64 after = 0;
    for (const ByteRange& r : ranges) {
        if (r.first < after || r.end <= r.first || r.end > total) return false;
        after = r.end;
    }
    return true;
}

// [first, end) without the parts `taken` (ordered, merged) covers.
std::vector<ByteRange> without(ByteRange whole, const std::vector<ByteRange>& taken) {
    std::vector<ByteRange> left;
    qint64 at = whole.first;
    for (const ByteRange& t : taken) {
        if (t.end <= at || t.first >= whole.end) continue;
        if (t.first > at) left.push_back({at, t.first});
        at = std::max(at, t.end);
    }
    if (at < whole.end) left.push_back({at, whole.end});
    return left;
}
}  // namespace

RangePlan::RangePlan(qint64 total, const std::vector<ByteRange>& onDisk) {
    if (total <= 0) return;
    total_ = total;
    if (wellFormed(onDisk, total))
        for (const ByteRange& r : onDisk) addWritten(r);
    waiting_ = without({0, total}, done_);
}

void RangePlan::addWritten(ByteRange range) {
    if (range.size() <= 0) return;
    done_.push_back(range);
    std::sort(done_.begin(), done_.end(), [](const ByteRange& a, const ByteRange& b) { return a.first < b.first; });
    std::vector<ByteRange> merged;
    for (const ByteRange& r : done_) {
        if (!merged.empty() && r.first <= merged.back().end) merged.back().end = std::max(merged.back().end, r.end);
        else merged.push_back(r);
    }
    done_ = std::move(merged);
}

std::vector<RangePlan::Running>::iterator RangePlan::find(int id) {
    return std::find_if(running_.begin(), running_.end(), [&](const Running& r) { return r.id == id; });
}

std::optional<RangePlan::Piece> RangePlan::take() {
    if (!valid()) return std::nullopt;
    if (!waiting_.empty()) {
        const ByteRange r = waiting_.front();
        waiting_.erase(waiting_.begin());
        running_.push_back(Running{nextId_, r.first, r.first, r.end});
        return Piece{nextId_++, r};
    }
    // Half of the largest rest still coming, when both halves are worth a connection.
    auto largest = std::max_element(running_.begin(), running_.end(), [](const Running& a, const Running& b) {
        return a.end - a.position < b.end - b.position;
    });
    if (largest == running_.end() || largest->end - largest->position < 2 * kLeastRange) return std::nullopt;
    const qint64 middle = largest->position + (largest->end - largest->position) / 2;
    const ByteRange half{middle, largest->end};
    largest->end = middle;
    running_.push_back(Running{nextId_, half.first, half.first, half.end});
    return Piece{nextId_++, half};
}

int RangePlan::split(int id, int connections) {
    auto it = find(id);
    if (it == running_.end() || connections <= 0) return 0;
    const qint64 rest = it->end - it->position;
    if (rest < kLeastToSplit) return 0;
    const qint64 pieces = std::min<qint64>(connections + 1, rest / kLeastRange);
    const qint64 each = rest / pieces;
    std::vector<ByteRange> cut;
    for (qint64 k = 1; k < pieces; ++k)
        cut.push_back({it->position + k * each, k + 1 == pieces ? it->end : it->position + (k + 1) * each});
    it->end = it->position + each;
    waiting_.insert(waiting_.end(), cut.begin(), cut.end());
    std::sort(waiting_.begin(), waiting_.end(), [](const ByteRange& a, const ByteRange& b) { return a.first < b.first; });
    return static_cast<int>(cut.size());
}

qint64 RangePlan::accept(int id, qint64 bytes) {
    auto it = find(id);
    if (it == running_.end() || bytes <= 0) return 0;
    const qint64 taken = std::min(bytes, it->end - it->position);
    it->position += taken;
    return taken;
}

std::optional<ByteRange> RangePlan::remaining(int id) const {
    const auto it = std::find_if(running_.begin(), running_.end(), [&](const Running& r) { return r.id == id; });
    if (it == running_.end()) return std::nullopt;
    return ByteRange{it->position, it->end};
}

void RangePlan::finished(int id) {
    auto it = find(id);
    if (it == running_.end()) return;
    // A piece that ended short of its end leaves the rest to be fetched again.
    const Running r = *it;
    running_.erase(it);
    addWritten({r.first, r.position});
    if (r.position < r.end) {
        waiting_.push_back({r.position, r.end});
        std::sort(waiting_.begin(), waiting_.end(), [](const ByteRange& a, const ByteRange& b) { return a.first < b.first; });
    }
}

void RangePlan::failed(int id) { finished(id); }

std::vector<ByteRange> RangePlan::written() const {
    RangePlan copy = *this;
    for (const Running& r : running_) copy.addWritten({r.first, r.position});
    return copy.done_;
}

std::vector<ByteRange> RangePlan::missing() const {
    if (!valid()) return {};
    return without({0, total_}, written());
}

bool RangePlan::complete() const {
    return valid() && done_.size() == 1 && done_.front() == ByteRange{0, total_};
}

QByteArray RangePlan::FormatRanges(const std::vector<ByteRange>& ranges) {
    QByteArray text;
    for (const ByteRange& r : ranges) {
        if (!text.isEmpty()) text += ',';
        text += QByteArray::number(r.first) + '-' + QByteArray::number(r.end);
    }
    return text;
}

std::optional<std::vector<ByteRange>> RangePlan::ParseRanges(const QByteArray& text, qint64 total) {
    std::vector<ByteRange> ranges;
    // A record is small; one that is not (forged, or not ours) is refused unread.
    if (text.size() > 64 * 1024) return std::nullopt;
    if (text.isEmpty()) return ranges;
    for (const QByteArray& part : text.split(',')) {
        const int dash = part.indexOf('-');
        if (dash <= 0) return std::nullopt;
        bool ok1 = false, ok2 = false;
        const ByteRange r{part.left(dash).toLongLong(&ok1), part.mid(dash + 1).toLongLong(&ok2)};
        if (!ok1 || !ok2) return std::nullopt;
        ranges.push_back(r);
    }
    if (!wellFormed(ranges, total)) return std::nullopt;
    return ranges;
}

Fw::Result<void> CheckRangeAnswer(const AskedRange& asked, const RangeAnswer& answer) {
    auto refuse = [](const QString& why) { return Fw::Result<void>(Fw::Error::failed(why)); };
    if (!answer.sameAddress) return refuse(QCoreApplication::translate("RangePlan", "A range request was sent elsewhere"));
    if (answer.status == 200) return refuse(QCoreApplication::translate("RangePlan", "The whole file came instead of a range"));
    if (answer.status != 206) return refuse(QCoreApplication::translate("RangePlan", "HTTP %1 to a range request").arg(answer.status));
    const QByteArray value = answer.contentRange.trimmed();
    const QByteArray expected = "bytes " + QByteArray::number(asked.first) + '-' + QByteArray::number(asked.last) + '/' +
                                QByteArray::number(asked.total);
    if (value != expected) {
        const QString got = value.isEmpty() ? QCoreApplication::translate("RangePlan", "no Content-Range") : QString::fromLatin1(value.left(80));
        return refuse(QCoreApplication::translate("RangePlan", "Another range came (%1 for %2)").arg(got, QString::fromLatin1(expected)));
    }
    const bool tag = asked.validator.startsWith('"');
    if ((tag ? answer.etag.trimmed() : answer.lastModified.trimmed()) != asked.validator)
        return refuse(tag ? QCoreApplication::translate("RangePlan", "The file changed on the server (another ETag)")
                          : QCoreApplication::translate("RangePlan", "The file changed on the server (another date)"));
    if (!asked.contentType.isEmpty() && answer.contentType.trimmed() != asked.contentType)
        return refuse(QCoreApplication::translate("RangePlan", "A range came with another Content-Type"));
    return {};
}

}  // namespace Download
