#include "download/RunSummary.h"

#include <algorithm>

#include "download/Address.h"

namespace Download {

void RunSummary::add(const QString& url, const ItemOutcome& outcome) {
    ++items_;
    if (outcome.stored)
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
    text += QStringLiteral("\r\n\r\n%1 of %2 downloads failed:").arg(failures_.size()).arg(items_);
    const int listed = std::min<int>(kListed, static_cast<int>(failures_.size()));
    for (int k = 0; k < listed; ++k)
        text += QStringLiteral("\r\n") + DisplayAddress(failures_[k].first) + QStringLiteral(" - ") + failures_[k].second;
    if (static_cast<int>(failures_.size()) > listed)
        text += QStringLiteral("\r\n(and %1 more)").arg(failures_.size() - listed);
    return text + unreachedLines();
}

QString RunSummary::unreachedLines() const {
    QString text;
    if (!movedTo_.isEmpty())
        text += QStringLiteral("\r\n\r\nThe folder was moved during the run; its files are now in %1.").arg(movedTo_);
    if (notReached_ > 0)
        text += notReached_ == 1 ? QStringLiteral("\r\n\r\n1 item was not reached.")
                                 : QStringLiteral("\r\n\r\n%1 items were not reached.").arg(notReached_);
    if (removedBeforeReached_ > 0)
        text += removedBeforeReached_ == 1
                    ? QStringLiteral("\r\n\r\n1 entry was removed from the list before it was reached.")
                    : QStringLiteral("\r\n\r\n%1 entries were removed from the list before they were reached.")
                          .arg(removedBeforeReached_);
    return text;
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
