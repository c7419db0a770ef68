#pragma once
// Wall-clock bounds for tests that check that something ends promptly. A bound is generous, and
// wider still in sanitizer builds, where the same work takes several times as long; the slow
// path it guards against must take longer than the widened bound, so the check keeps its meaning.
#include <chrono>

namespace Timing {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr int kSlowdown = 4;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr int kSlowdown = 4;
#else
inline constexpr int kSlowdown = 1;
#endif
#else
inline constexpr int kSlowdown = 1;
#endif

// `normal` as it applies to this build.
constexpr std::chrono::milliseconds bound(std::chrono::milliseconds normal) { return normal * kSlowdown; }
constexpr int boundMs(int normalMs) { return normalMs * kSlowdown; }

}  // namespace Timing
