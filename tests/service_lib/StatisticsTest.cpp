// The latency histogram's buckets and percentiles, and the counters read
// while the one thread that counts goes on counting.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "service_lib/nsl/LatencyHistogram.h"
#include "service_lib/nsl/StatisticsImpl.h"

namespace {

using namespace NFS::NSL;

constexpr uint64_t kUs = 1000;

TEST(LatencyHistogramTest, BucketsAreLogSpacedAndCoverOneMicrosecondToTenSeconds) {
  EXPECT_EQ(Latency::BucketOf(0), 0u);
  EXPECT_EQ(Latency::BucketOf(999), 0u);
  EXPECT_EQ(Latency::BucketOf(1000), 1u);
  EXPECT_EQ(Latency::UpperBoundNs(Latency::kBucketCount - 2), 10'000'000'000ull);
  EXPECT_EQ(Latency::BucketOf(10'000'000'000ull), Latency::kBucketCount - 1);
  EXPECT_EQ(Latency::BucketOf(UINT64_MAX), Latency::kBucketCount - 1);
  for (size_t i = 1; i + 1 < Latency::kBucketCount; ++i) {
    const uint64_t lower = Latency::UpperBoundNs(i - 1);
    const uint64_t upper = Latency::UpperBoundNs(i);
    const double ratio = static_cast<double>(upper) / static_cast<double>(lower);
    EXPECT_GT(ratio, 1.08) << i;
    EXPECT_LT(ratio, 1.12) << i;
    EXPECT_EQ(Latency::BucketOf(lower), i) << i;
    EXPECT_EQ(Latency::BucketOf(upper - 1), i) << i;
  }
}

uint64_t Quantile(const std::vector<uint64_t>& durations, double q) {
  std::array<uint64_t, Latency::kBucketCount> counts{};
  uint64_t max = 0;
  for (const uint64_t d : durations) {
    ++counts[Latency::BucketOf(d)];
    max = std::max(max, d);
  }
  return Latency::QuantileNs(counts.data(), q, max);
}

TEST(LatencyHistogramTest, PercentilesAreWithinOneBucketAboveTheTrueValue) {
  std::vector<uint64_t> durations;
  for (uint64_t us = 1; us <= 1000; ++us) durations.push_back(us * kUs);
  const uint64_t p50 = Quantile(durations, 0.5);
  const uint64_t p90 = Quantile(durations, 0.9);
  const uint64_t p99 = Quantile(durations, 0.99);
  EXPECT_GE(p50, 500 * kUs);
  EXPECT_LE(p50, 550 * kUs);
  EXPECT_GE(p90, 900 * kUs);
  EXPECT_LE(p90, 990 * kUs);
  EXPECT_GE(p99, 990 * kUs);
  EXPECT_LE(p99, 1000 * kUs);  // never above the largest seen
  EXPECT_EQ(Quantile(durations, 1.0), 1000 * kUs);
}

TEST(LatencyHistogramTest, RareSlowCallsShowOnlyInTheHighPercentiles) {
  std::vector<uint64_t> durations(990, 20 * kUs);
  durations.insert(durations.end(), 10, 3'000'000 * kUs);  // 1% at 3 s
  EXPECT_LE(Quantile(durations, 0.5), 22 * kUs);
  EXPECT_LE(Quantile(durations, 0.99), 22 * kUs);
  EXPECT_GE(Quantile(durations, 0.995), 3'000'000 * kUs);
  EXPECT_EQ(Quantile(durations, 1.0), 3'000'000 * kUs);
}

TEST(LatencyHistogramTest, EmptyAndOutOfRangeHistograms) {
  EXPECT_EQ(Quantile({}, 0.5), 0u);
  EXPECT_EQ(Quantile({500}, 0.5), 500u);  // below 1 us: at most the largest
  EXPECT_EQ(Quantile({25'000'000'000ull}, 0.99), 25'000'000'000ull);  // beyond 10 s: the largest
  std::array<uint64_t, Latency::kBucketCount> beyond{};
  beyond.back() = 1;
  EXPECT_EQ(Latency::QuantileNs(beyond.data(), 0.5), 10'000'000'000ull);  // and without it, 10 s
}

TEST(StatisticsTest, SnapshotsTakenWhileCountingNeverGoBackAndEndExact) {
  StatisticsImpl statistics;
  constexpr uint64_t kCalls = 200000;
  std::atomic<bool> done{false};
  std::thread rpc([&] {
    for (uint64_t i = 0; i < kCalls; ++i) {
      statistics.CountCall(RpcProgram::Nfs, 6);
      statistics.CountReply(RpcProgram::Nfs, 6, true, i % 4 == 0 ? 2 : 0, 10, 0);
      statistics.CountLatency(RpcProgram::Nfs, 6, (i % 1000) * kUs);
    }
    done = true;
  });
  uint64_t lastCalls = 0;
  uint64_t lastBytes = 0;
  while (!done) {
    const StatisticsSnapshot snapshot = statistics.Snapshot();
    const ProcedureStatistics& read = snapshot.programs.at(1).procedures.at(6);
    EXPECT_GE(read.calls, lastCalls);
    EXPECT_GE(snapshot.bytesRead, lastBytes);
    lastCalls = read.calls;
    lastBytes = snapshot.bytesRead;
  }
  rpc.join();
  const StatisticsSnapshot snapshot = statistics.Snapshot();
  const ProcedureStatistics& read = snapshot.programs.at(1).procedures.at(6);
  EXPECT_EQ(read.name, "READ");
  EXPECT_EQ(read.calls, kCalls);
  EXPECT_EQ(read.failures, kCalls / 4);
  ASSERT_EQ(read.statuses.size(), 2u);
  EXPECT_EQ(read.statuses[0].name, "NFS3_OK");
  EXPECT_EQ(read.statuses[1].name, "NFS3ERR_NOENT");
  EXPECT_EQ(read.statuses[1].count, kCalls / 4);
  EXPECT_EQ(snapshot.bytesRead, 10 * kCalls);
  EXPECT_EQ(read.latency.count, kCalls);
  EXPECT_EQ(read.latency.maxNs, 999 * kUs);
  EXPECT_EQ(snapshot.programs.at(0).name, "MOUNT");
  EXPECT_EQ(snapshot.programs.at(0).procedures.at(1).name, "MNT");
  EXPECT_EQ(snapshot.programs.at(1).procedures.size(), 22u);
}

TEST(StatisticsTest, UnknownStatusesAndProceduresAreCountedApart) {
  StatisticsImpl statistics;
  statistics.CountCall(RpcProgram::Mount, 1);
  statistics.CountReply(RpcProgram::Mount, 1, true, 12345, 0, 0);
  statistics.CountCall(RpcProgram::Mount, 99);  // beyond the table: ignored here
  statistics.CountUnknownProcedure(RpcProgram::Mount);
  statistics.CountGarbageArguments(RpcProgram::Nfs, 3);
  const StatisticsSnapshot snapshot = statistics.Snapshot();
  const ProcedureStatistics& mnt = snapshot.programs.at(0).procedures.at(1);
  EXPECT_EQ(mnt.calls, 1u);
  ASSERT_EQ(mnt.statuses.size(), 1u);
  EXPECT_EQ(mnt.statuses[0].name, "OTHER");
  EXPECT_EQ(mnt.failures, 1u);
  EXPECT_EQ(snapshot.programs.at(0).unknownProcedures, 1u);
  EXPECT_EQ(snapshot.programs.at(1).procedures.at(3).garbageArguments, 1u);
}

}  // namespace
