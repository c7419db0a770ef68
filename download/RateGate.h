#pragma once
#include <QtGlobal>

namespace Download {

// The run's receiving rate, shared by all its transfers: a bucket of bytes refilled at the rate
// asked for. A transfer that finds it empty pauses until it has refilled. Used by the thread
// that drives the multi handle only.
class RateGate {
public:
    // Bytes per second; 0 for no limit.
    void setRate(qint64 bytesPerSecond);
    qint64 rate() const { return rate_; }
    bool limited() const { return rate_ > 0; }
    // May a transfer write now? Refills the bucket first.
    bool open(qint64 nowMs);
    void consume(qint64 bytes) { tokens_ -= double(bytes); }
    // Milliseconds until the bucket holds bytes again (0 when it does).
    qint64 msUntilOpen(qint64 nowMs);
    // A receive buffer that keeps one write well under a second's worth.
    long bufferSize() const;

private:
    void refill(qint64 nowMs);
    qint64 rate_ = 0;
    double tokens_ = 0;
    qint64 lastMs_ = -1;
};

}  // namespace Download
