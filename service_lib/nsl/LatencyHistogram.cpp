#include "service_lib/nsl/LatencyHistogram.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace NFS::NSL::Latency {

namespace {

using Bounds = std::array<uint64_t, kBucketCount>;

const Bounds& UpperBounds() {
  static const Bounds bounds = [] {
    Bounds made{};
    made[0] = 1000;
    for (size_t i = 1; i + 1 < kBucketCount; ++i) {
      const double exponent = static_cast<double>(i) / static_cast<double>(kBucketsPerDecade);
      made[i] = static_cast<uint64_t>(std::llround(1000.0 * std::pow(10.0, exponent)));
    }
    made[kBucketCount - 1] = UINT64_MAX;
    return made;
  }();
  return bounds;
}

}  // namespace

uint64_t UpperBoundNs(size_t bucket) { return UpperBounds()[std::min(bucket, kBucketCount - 1)]; }

size_t BucketOf(uint64_t nanoseconds) {
  const Bounds& bounds = UpperBounds();
  // The first bucket whose bound lies above the duration; the last has none.
  return static_cast<size_t>(std::upper_bound(bounds.begin(), bounds.end() - 1, nanoseconds) - bounds.begin());
}

uint64_t QuantileNs(const uint64_t* counts, double q, uint64_t maxNs) {
  uint64_t total = 0;
  for (size_t i = 0; i < kBucketCount; ++i) total += counts[i];
  if (total == 0) return 0;
  const double wanted = std::ceil(std::clamp(q, 0.0, 1.0) * static_cast<double>(total));
  const uint64_t rank = std::max<uint64_t>(1, static_cast<uint64_t>(wanted));
  uint64_t seen = 0;
  size_t bucket = 0;
  for (; bucket < kBucketCount; ++bucket) {
    seen += counts[bucket];
    if (seen >= rank) break;
  }
  // Beyond 10 s the histogram knows no bound: the largest seen, or 10 s.
  if (bucket >= kBucketCount - 1) return maxNs != UINT64_MAX ? maxNs : UpperBoundNs(kBucketCount - 2);
  return std::min(UpperBoundNs(bucket), maxNs);
}

}  // namespace NFS::NSL::Latency
