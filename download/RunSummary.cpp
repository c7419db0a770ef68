#include "download/RunSummary.h"

#include <algorithm>

#include "download/Address.h"

namespace Download {

void RunSummary::add(const QString& url, const ItemOutcome& outcome) {
    ++items_;
    if (outcome.paused) {
        ++paused_;
        pausedBytes_ += std::max<qint64>(0, outcome.bytes);
    } else if (outcome.stored)
        stored_.emplace_back(url, outcome.path);
    else if (outcome.skipped)
        ++skipped_;
    else
        failures_.emplace_back(url, outcome.reason.isEmpty() ? QStringLiteral("Not stored") : outcome.reason);
}

QString RunSummary::finalMessage() const {
    QString text = stopped_ ? QStringLiteral("Stopped.") : QStringLiteral("Done.");
    if (items_ > 0) {
        text += QStringLiteral("\r\n%1 stored").arg(stored_.size());
        if (skipped_ > 0) text += QStringLiteral(", %1 skipped").arg(skipped_);
        if (!failures_.empty()) text += QStringLiteral(", %1 failed").arg(failures_.size());
        text += QLatin1Char('.');
    }
    if (failures_.empty()) return text + unreachedLines();
    // Of all the run's items, those it never came to included.
    text += QStringLiteral("\r\n\r\n%1 of %2 failed:").arg(failures_.size()).arg(Counted(items_ + notReached_, "download", "downloads"));
    const int listed = std::min<int>(kListed, static_cast<int>(failures_.size()));
    for (int k = 0; k < listed; ++k)
        text += QStringLiteral("\r\n") + DisplayAddress(failures_[k].first) + QStringLiteral(" - ") + failures_[k].second;
    if (static_cast<int>(failures_.size()) > listed)
        text += QStringLiteral("\r\n(and %1 more)").arg(failures_.size() - listed);
    return text + unreachedLines();
}

QString RunSummary::unreachedLines() const {
    QString text;
    if (!notes_.isEmpty()) text += QStringLiteral("\r\n\r\n") + notes_.join(QStringLiteral("\r\n"));
    if (!movedTo_.isEmpty())
        text += QStringLiteral("\r\n\r\nThe folder was moved during the run; its files are now in %1.").arg(movedTo_);
    if (paused_ > 0)
        text += QStringLiteral("\r\n\r\n%1 %2 paused with %3 kept; Start continues %4.")
                    .arg(Counted(paused_, "download", "downloads"), paused_ == 1 ? QStringLiteral("was") : QStringLiteral("were"),
                         ByteSize(pausedBytes_), paused_ == 1 ? QStringLiteral("it") : QStringLiteral("them"));
    if (held_ > 0) {
        const QString kept = heldBytes_ > 0 ? QStringLiteral(" with %1 kept").arg(ByteSize(heldBytes_)) : QString();
        text += QStringLiteral("\r\n\r\n%1 %2 paused by you%3; Resume (Space) continues %4.")
                    .arg(Counted(held_, "download", "downloads"), held_ == 1 ? QStringLiteral("is") : QStringLiteral("are"), kept,
                         held_ == 1 ? QStringLiteral("it") : QStringLiteral("them"));
    }
    if (notReached_ > 0)
        text += notReached_ == 1 ? QStringLiteral("\r\n\r\n1 item was not reached.")
                                 : QStringLiteral("\r\n\r\n%1 items were not reached.").arg(notReached_);
    if (removedBeforeReached_ > 0)
        text += removedBeforeReached_ == 1
                    ? QStringLiteral("\r\n\r\n1 entry was removed from the list before it was reached.")
                    : QStringLiteral("\r\n\r\n%1 entries were removed from the list before they were reached.")
                          .arg(removedBeforeReached_);
    if (removedDuringRun_ > 0) text += QStringLiteral("\r\n\r\n%1 removed during the run.").arg(removedDuringRun_);
    return text;
}

namespace {
struct Unit {
    double size;
    const char* name;
};
Unit unitFor(qint64 bytes) {
    if (bytes >= 1000LL * 1000 * 1000) return {1e9, "GB"};
    if (bytes >= 1000LL * 1000) return {1e6, "MB"};
    if (bytes >= 1000) return {1e3, "kB"};
    return {1, "B"};
}
QString inUnit(qint64 bytes, const Unit& unit) {
    if (unit.size == 1) return QString::number(bytes);
    return QString::number(double(bytes) / unit.size, 'f', 1);
}
}  // namespace

QString ByteSize(qint64 bytes) {
    const Unit unit = unitFor(bytes);
    return inUnit(bytes, unit) + QLatin1Char(' ') + QLatin1String(unit.name);
}

QString ByteShare(qint64 part, qint64 whole) {
    const Unit unit = unitFor(whole);
    return inUnit(part, unit) + QStringLiteral(" of ") + inUnit(whole, unit) + QLatin1Char(' ') + QLatin1String(unit.name);
}

QString Counted(qint64 count, const char* one, const char* many) {
    return QString::number(count) + QLatin1Char(' ') + QLatin1String(count == 1 ? one : many);
}

int SharePercent(qint64 i, qint64 count) {
    if (count <= 0) return 0;
    const qint64 numerator = i * 100;
    qint64 q = numerator / count;
    const qint64 twice = 2 * (numerator % count);
    if (twice > count || (twice == count && q % 2 != 0)) ++q;
    return static_cast<int>(q);
}

}  // namespace Download
