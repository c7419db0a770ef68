#include "download/RateGate.h"

#include <algorithm>

namespace Download {

void RateGate::setRate(qint64 bytesPerSecond) {
    rate_ = std::max<qint64>(0, bytesPerSecond);
    tokens_ = 0;
    lastMs_ = -1;
}

void RateGate::refill(qint64 nowMs) {
    if (lastMs_ < 0) lastMs_ = nowMs;
    tokens_ += double(rate_) * double(nowMs - lastMs_) / 1000.0;
    lastMs_ = nowMs;
    // A short burst at most, so that no second goes far above the rate.
    tokens_ = std::min(tokens_, double(rate_) / 8.0);
}

bool RateGate::open(qint64 nowMs) {
    if (rate_ <= 0) return true;
    refill(nowMs);
    return tokens_ > 0;
}

qint64 RateGate::msUntilOpen(qint64 nowMs) {
    if (rate_ <= 0) return 0;
    refill(nowMs);
    if (tokens_ > 0) return 0;
    return std::max<qint64>(1, qint64((-tokens_ + 1) * 1000.0 / double(rate_)) + 1);
}

long RateGate::bufferSize() const {
    if (rate_ <= 0) return 256L * 1024L;
    return static_cast<long>(std::clamp<qint64>(rate_ / 16, 1024, 256 * 1024));
}

}  // namespace Download
