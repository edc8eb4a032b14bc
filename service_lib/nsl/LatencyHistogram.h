#pragma once

#include <cstddef>
#include <cstdint>

namespace NFS::NSL::Latency {

// Fixed, log-spaced latency buckets: 24 per decade (each about 10% wider
// than the one before) from 1 us to 10 s, one below and one above. Fixed so
// that counting a call is one index and one increment, and so that counts
// taken at two moments can be subtracted bucket by bucket.
inline constexpr size_t kBucketsPerDecade = 24;
inline constexpr size_t kDecades = 7;
inline constexpr size_t kBucketCount = kBucketsPerDecade * kDecades + 2;

// The exclusive upper bound of a bucket in nanoseconds; UINT64_MAX for the
// last one (10 s and more).
uint64_t UpperBoundNs(size_t bucket);
// The bucket a duration falls into.
size_t BucketOf(uint64_t nanoseconds);
// The q-quantile (0 < q <= 1) of the counts (kBucketCount of them): the
// upper bound of the bucket that holds it, never more than `maxNs` (the
// largest duration seen, when known). 0 when there are no counts.
uint64_t QuantileNs(const uint64_t* counts, double q, uint64_t maxNs = UINT64_MAX);

}  // namespace NFS::NSL::Latency
