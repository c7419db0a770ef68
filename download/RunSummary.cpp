#include "download/RunSummary.h"

#include <QCoreApplication>

#include <algorithm>
#include <limits>

#include "download/Address.h"

namespace Download {

namespace {
// The count that chooses a text's plural form.
int PluralCount(qint64 n) { return static_cast<int>(std::clamp<qint64>(n, 0, std::numeric_limits<int>::max())); }
}  // namespace

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
        failures_.emplace_back(url, outcome.reason.isEmpty() ? QCoreApplication::translate("RunSummary", "Not stored") : outcome.reason);
}

QString RunSummary::finalMessage() const {
    QString text = stopped_ ? QCoreApplication::translate("RunSummary", "Stopped.") : QCoreApplication::translate("RunSummary", "Done.");
    if (items_ > 0) {
        text += QStringLiteral("\r\n") + QCoreApplication::translate("RunSummary", "%1 stored").arg(stored_.size());
        if (skipped_ > 0) text += QCoreApplication::translate("RunSummary", ", %1 skipped").arg(skipped_);
        if (!failures_.empty()) text += QCoreApplication::translate("RunSummary", ", %1 failed").arg(failures_.size());
        text += QLatin1Char('.');
    }
    if (failures_.empty()) return text + unreachedLines();
    // Of all the run's items, those it never came to included.
    text += QStringLiteral("\r\n\r\n") +
            QCoreApplication::translate("RunSummary", "%1 of %n download(s) failed:", nullptr, PluralCount(items_ + notReached_)).arg(failures_.size());
    const int listed = std::min<int>(kListed, static_cast<int>(failures_.size()));
    for (int k = 0; k < listed; ++k)
        text += QStringLiteral("\r\n") + DisplayAddress(failures_[k].first) + QStringLiteral(" - ") + failures_[k].second;
    if (static_cast<int>(failures_.size()) > listed)
        text += QStringLiteral("\r\n") + QCoreApplication::translate("RunSummary", "(and %1 more)").arg(failures_.size() - listed);
    return text + unreachedLines();
}

QString RunSummary::unreachedLines() const {
    QString text;
    if (!notes_.isEmpty()) text += QStringLiteral("\r\n\r\n") + notes_.join(QStringLiteral("\r\n"));
    if (!movedTo_.isEmpty())
        text += QStringLiteral("\r\n\r\n") + QCoreApplication::translate("RunSummary", "The folder was moved during the run; its files are now in %1.").arg(movedTo_);
    if (paused_ > 0)
        text += QStringLiteral("\r\n\r\n") +
                QCoreApplication::translate("RunSummary", "%n download(s) were paused with %1 kept; Start continues them.", nullptr, PluralCount(paused_))
                    .arg(ByteSize(pausedBytes_));
    if (held_ > 0) {
        text += QStringLiteral("\r\n\r\n") +
                (heldBytes_ > 0
                     ? QCoreApplication::translate("RunSummary", "%n download(s) are paused by you with %1 kept; Resume (Space) continues them.", nullptr,
                                                  PluralCount(held_))
                           .arg(ByteSize(heldBytes_))
                     : QCoreApplication::translate("RunSummary", "%n download(s) are paused by you; Resume (Space) continues them.", nullptr,
                                                  PluralCount(held_)));
    }
    if (notReached_ > 0)
        text += QStringLiteral("\r\n\r\n") + QCoreApplication::translate("RunSummary", "%n item(s) were not reached.", nullptr, PluralCount(notReached_));
    if (removedBeforeReached_ > 0)
        text += QStringLiteral("\r\n\r\n") + QCoreApplication::translate("RunSummary", "%n entries were removed from the list before they were reached.", nullptr,
                                                                  PluralCount(removedBeforeReached_));
    if (removedDuringRun_ > 0) text += QStringLiteral("\r\n\r\n") + QCoreApplication::translate("RunSummary", "%1 removed during the run.").arg(removedDuringRun_);
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
    return QCoreApplication::translate("RunSummary", "%1 of %2").arg(inUnit(part, unit), inUnit(whole, unit)) + QLatin1Char(' ') +
           QLatin1String(unit.name);
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
