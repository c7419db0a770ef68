#pragma once
// Which way a batch of complete files reaches the disk before they are named: one flush of the
// file system they lie on (syncfs), or an fsync of each file. The shared flush is far cheaper,
// unless other programs have much unwritten data on the same file system, which it writes too.
// Each way's cost a file is measured as it is used and the cheaper one is taken; after a run of
// batches flushed one file at a time the shared flush is tried again, since the others' writes end.
#include <cstddef>

namespace Download {

class FlushChoice {
public:
    // Batches flushed file by file before the shared flush is tried again.
    static constexpr int kTryAgainAfter = 8;

    // Whether the next batch of `files` files shares one flush.
    bool shared(std::size_t files);
    // The shared flush of a batch of `files` files took `ms`.
    void sharedTook(double ms, std::size_t files);
    // The files of a batch took `msPerFile` each, flushed one at a time.
    void eachTook(double msPerFile);

private:
    double sharedMsPerFile_ = -1;  // smoothed; -1 while not measured
    double eachMsPerFile_ = -1;
    int eachBatches_ = 0;  // flushed file by file since the shared flush was last tried
};

}  // namespace Download
