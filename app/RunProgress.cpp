#include "app/RunProgress.h"

#include <QStringList>

#include <cmath>

namespace RunProgress {

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

QString Bytes(qint64 bytes) {
    const Unit unit = unitFor(bytes);
    return inUnit(bytes, unit) + QLatin1Char(' ') + QLatin1String(unit.name);
}

QString Duration(qint64 seconds) {
    const qint64 h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
    if (h > 0) return QStringLiteral("%1:%2:%3").arg(h).arg(m, 2, 10, QLatin1Char('0')).arg(s, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(m).arg(s, 2, 10, QLatin1Char('0'));
}

QString FiguresText(const Figures& f) {
    QStringList parts;
    const bool several = f.atOnce > 1;
    if (f.retryInMs >= 0 && !several) {
        const qint64 seconds = (f.retryInMs + 999) / 1000;
        parts << QStringLiteral("try %1 of %2 in %3 s").arg(f.attempt + 1).arg(f.maxTries).arg(seconds);
    } else {
        if (several) {
            parts << QStringLiteral("%1 at once").arg(f.atOnce);
        } else if (f.total > 0) {
            const Unit unit = unitFor(f.total);
            parts << inUnit(f.received, unit) + QStringLiteral(" of ") + inUnit(f.total, unit) + QLatin1Char(' ') +
                         QLatin1String(unit.name);
        } else if (f.received > 0) {
            parts << Bytes(f.received);
        }
        if (f.bytesPerSecond >= 0 && (several || f.received > 0 || f.total > 0)) {
            parts << Bytes(static_cast<qint64>(f.bytesPerSecond)) + QStringLiteral("/s");
            // The run's own time left where it is known, else that of the one item under way.
            const qint64 left = f.leftBytes >= 0 ? f.leftBytes : (!several && f.total > 0 ? f.total - f.received : -1);
            if (left >= 0 && f.bytesPerSecond > 0) {
                const double seconds = double(std::max<qint64>(0, left)) / f.bytesPerSecond;
                parts << Duration(static_cast<qint64>(std::ceil(seconds))) + QStringLiteral(" left");
            }
        }
        if (f.attempt > 1 && !several) parts << QStringLiteral("try %1 of %2").arg(f.attempt).arg(f.maxTries);
    }
    if (f.items > 1) parts << QStringLiteral("%1 of %2").arg(f.item).arg(f.items);
    return parts.join(QStringLiteral(" \u00b7 "));
}

void RateMeter::sample(qint64 atMs, qint64 bytes) {
    // A transfer that started over counts from its new beginning.
    if (!samples_.empty() && bytes < samples_.back().second) samples_.clear();
    samples_.emplace_back(atMs, bytes);
    while (samples_.size() > 2 && samples_.front().first < atMs - kWindowMs) samples_.pop_front();
}

double RateMeter::bytesPerSecond() const {
    if (samples_.size() < 2) return -1;
    const auto& [t0, b0] = samples_.front();
    const auto& [t1, b1] = samples_.back();
    if (t1 - t0 < 500) return -1;
    return double(b1 - b0) * 1000.0 / double(t1 - t0);
}

}  // namespace RunProgress
