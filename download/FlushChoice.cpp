#include "download/FlushChoice.h"

#include <algorithm>

namespace Download {

namespace {
// Until a file's own fsync has been timed, a shared flush counts as slow when it takes longer
// than a quick fsync of each file would have (2 ms), and at least a quarter of a second.
constexpr double kAssumedEachMs = 2.0;
constexpr double kSlowBatchMs = 250.0;
// The weight of the newest figure in each smoothed cost.
constexpr double kNewest = 0.5;

void Smooth(double& value, double sample) { value = value < 0 ? sample : value + kNewest * (sample - value); }
}  // namespace

bool FlushChoice::shared(std::size_t files) {
    if (files < 2) return false;
    if (sharedMsPerFile_ < 0) return true;
    const double each = eachMsPerFile_ >= 0 ? eachMsPerFile_ : kAssumedEachMs;
    // A batch's shared flush is only slow past a floor, whatever the files of the batch cost.
    const bool cheaper = sharedMsPerFile_ * double(files) <= std::max(kSlowBatchMs, each * double(files));
    if (cheaper || eachBatches_ >= kTryAgainAfter) return true;
    ++eachBatches_;
    return false;
}

void FlushChoice::sharedTook(double ms, std::size_t files) {
    if (files == 0) return;
    eachBatches_ = 0;
    // The newest counts alone: the others' writes come and go at once.
    sharedMsPerFile_ = ms / double(files);
}

void FlushChoice::eachTook(double msPerFile) { Smooth(eachMsPerFile_, msPerFile); }

}  // namespace Download
