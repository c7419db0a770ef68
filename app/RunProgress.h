#pragma once
// The figures the progress bar shows of a run: the bytes of the item being fetched (when it is
// the only one) or how many are under way, the run's recent speed, the time left, which item and
// which try.
#include <QString>

#include <deque>
#include <utility>

namespace RunProgress {

// "512 B", "1.5 kB", "19.8 MB", "2.0 GB" (powers of 1000, as transfer speeds are given).
QString Bytes(qint64 bytes);
// "0:41", "1:02:03".
QString Duration(qint64 seconds);

struct Figures {
    qint64 received = 0;
    qint64 total = -1;            // -1: the server gave no size
    double bytesPerSecond = -1;   // -1: not measured yet
    int item = 0;
    int items = 0;
    int attempt = 0;              // the try under way, or the one that failed while waiting
    int maxTries = 0;
    qint64 retryInMs = -1;        // >= 0 while waiting for the next try
    int atOnce = 1;               // transfers under way
    qint64 leftBytes = -1;        // what the whole run still has to bring, when known
};

// "1.2 of 2.0 GB · 19.8 MB/s · 0:41 left · 3 of 300" with one transfer under way,
// "3 at once · 41.2 MB/s · 0:41 left · 15 of 98" with several; parts without data are left out.
QString FiguresText(const Figures& figures);

// The speed over the last few seconds, from samples of the bytes received.
class RateMeter {
public:
    static constexpr qint64 kWindowMs = 3000;
    void reset() { samples_.clear(); }
    void sample(qint64 atMs, qint64 bytes);
    // -1 until the samples span half a second.
    double bytesPerSecond() const;

private:
    std::deque<std::pair<qint64, qint64>> samples_;  // time, bytes
};

}  // namespace RunProgress
