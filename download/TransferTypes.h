#pragma once
// What a transfer is given and tells: its limits, where its body goes, how far it is, and what it
// ended with (download/Transfer.h).
#include <QString>

#include <atomic>
#include <vector>

namespace Download {

struct TransferLimits {
    long connectTimeoutMs = 15000;  // giving up on a server that does not answer
    long stallSeconds = 30;         // giving up on a transfer that stops moving
    long maxRedirects = 10;
    // A transient failure (a time-out, a connection dropped mid-body, HTTP 408, 429, 500, 502,
    // 503, 504) is tried again, up to this many tries in all.
    int maxTries = 4;
    // The wait before the second, third, … try; the last one repeats.
    std::vector<long> retryWaitsMs{1000, 2000, 4000};
    // A server asking (Retry-After) for a longer wait than this fails the item instead.
    long maxRetryAfterSeconds = 600;
    // Certificate authorities trusted for https instead of the system's (a benchmark's own test
    // authority); empty for the system's.
    QString caFile{};
    // An item fails ("Not enough free disk space") before the output folder's file system has
    // less than this free, or a twentieth of its size when that is less; negative: no check.
    qint64 freeReserveBytes = qint64(64) << 20;
};

struct TransferInfo {
    long httpStatus = 0;
    QString finalUrl;  // after redirects
    qint64 bytes = 0;  // body bytes in the file
    int tries = 1;
};

// How far the transfer in progress is. The transfer thread writes it, anyone may read it.
struct TransferProgress {
    std::atomic<qint64> received{0};     // body bytes in the file so far
    std::atomic<qint64> total{-1};       // the body's size, -1 while the server has not said
    std::atomic<int> attempt{0};         // 1 for the first try, 0 before any
    std::atomic<qint64> retryAtMs{0};    // steady-clock ms of the next try while waiting for it, else 0

    void reset() {
        received = 0;
        total = -1;
        attempt = 0;
        retryAtMs = 0;
    }
};

// The steady clock in milliseconds, as TransferProgress::retryAtMs counts it.
qint64 SteadyNowMs();

// How many bytes may still be written to one file system before its free space is looked at
// again. Transfers into one folder may share one, so that many small files do not each look.
struct SpaceBudget {
    qint64 allowance = 0;
    // The last look found room to spare: its transfers may hold bytes back before writing them,
    // which the free space it sees does not show. Near the reserve every byte is written at once.
    bool roomy = true;
};

// Where a body goes: a descriptor, whether it is a new empty file (its body starts at offset 0),
// and the free-space budget it shares (nullptr: one of its own).
struct FileTarget {
    int fd = -1;
    bool empty = false;
    SpaceBudget* space = nullptr;
};

}  // namespace Download
