#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "host/Assertion.h"
#include "host/LogRateLimiter.h"
#include "host/Logging.h"
#include "tests/support/FakeClock.h"

namespace {

using TestSupport::FakeClock;
using TestSupport::kSecondNs;

TEST(LogRateLimiterTest, TenLinesOfAKeyEachSecondThenTheHeldBackCount) {
  FakeClock clock;
  auto limiter = Common::CreateLogRateLimiter(10, clock.Reader());
  uint64_t suppressed = 99;
  for (int i = 0; i < 10; ++i) {
    EXPECT_TRUE(limiter->Admit("REMOVE NFS3ERR_NOENT", suppressed)) << i;
    EXPECT_EQ(suppressed, 0u);
  }
  for (int i = 0; i < 25; ++i) EXPECT_FALSE(limiter->Admit("REMOVE NFS3ERR_NOENT", suppressed)) << i;
  // Each key has its own count.
  EXPECT_TRUE(limiter->Admit("REMOVE NFS3ERR_IO", suppressed));
  EXPECT_EQ(suppressed, 0u);

  clock.Advance(kSecondNs - 1);
  EXPECT_FALSE(limiter->Admit("REMOVE NFS3ERR_NOENT", suppressed));
  clock.Advance(1);
  EXPECT_TRUE(limiter->Admit("REMOVE NFS3ERR_NOENT", suppressed));
  EXPECT_EQ(suppressed, 26u);
  EXPECT_TRUE(limiter->Admit("REMOVE NFS3ERR_NOENT", suppressed));
  EXPECT_EQ(suppressed, 0u);
}

TEST(LogRateLimiterTest, ManyKeysDoNotGrowWithoutBoundOrBlockNewOnes) {
  FakeClock clock;
  auto limiter = Common::CreateLogRateLimiter(1, clock.Reader());
  uint64_t suppressed = 0;
  for (int i = 0; i < 100000; ++i) EXPECT_TRUE(limiter->Admit("key " + std::to_string(i), suppressed));
  EXPECT_TRUE(limiter->Admit("one more", suppressed));
  EXPECT_FALSE(limiter->Admit("one more", suppressed));
}

TEST(LogRateLimiterTest, ThreadsShareOneLimit) {
  FakeClock clock;
  auto limiter = Common::CreateLogRateLimiter(10, clock.Reader());
  std::atomic<int> admitted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) {
        uint64_t suppressed = 0;
        if (limiter->Admit("same", suppressed)) ++admitted;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(admitted.load(), 10);
  clock.Advance(kSecondNs);
  uint64_t suppressed = 0;
  EXPECT_TRUE(limiter->Admit("same", suppressed));
  EXPECT_EQ(suppressed, 3990u);
}

void FailTheSameCheck() { COMMON_ASSERT_TEXT("reached by a client"); }

TEST(AssertionTest, LogGetsTenReportsOfOneCheckASecondThenTheHeldBackCount) {
  FakeClock clock;
  auto previous = Common::SetAssertionLimiter(Common::CreateLogRateLimiter(Common::kAssertionLinesPerSecond,
                                                                           clock.Reader()));
  Common::ScopedLogCapture log;
  for (int i = 0; i < 25; ++i) FailTheSameCheck();
  auto reports = log.Texts(Common::kFailure, 0);
  ASSERT_EQ(reports.size(), 10u);
  EXPECT_EQ(reports[0].rfind("Assertion failed: reached by a client, file ", 0), 0u) << reports[0];

  clock.Advance(kSecondNs);
  FailTheSameCheck();
  reports = log.Texts(Common::kFailure, 0);
  ASSERT_EQ(reports.size(), 12u);
  EXPECT_EQ(reports[10], "15 similar reports suppressed: " + reports[0]);
  EXPECT_EQ(reports[11], reports[0]);
  Common::SetAssertionLimiter(previous);
}

TEST(AssertionTest, CaptureSeesEveryReport) {
  FakeClock clock;
  auto previous = Common::SetAssertionLimiter(Common::CreateLogRateLimiter(Common::kAssertionLinesPerSecond,
                                                                           clock.Reader()));
  Common::ScopedAssertionCapture capture;
  for (int i = 0; i < 25; ++i) FailTheSameCheck();
  EXPECT_EQ(capture.Reports().size(), 25u);
  Common::SetAssertionLimiter(previous);
}

}  // namespace
