#include <gtest/gtest.h>
#include <time.h>

#include <cstdint>
#include <string>

#include "app/SystemdNotify.h"
#include "tests/support/NotifySocket.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempDir.h"

namespace {

uint64_t MonotonicMicros() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

class SystemdNotifyTest : public ::testing::Test {
 protected:
  TestSupport::TempDir temp_;
  TestSupport::NotifySocket manager_{(temp_.Path() / "notify").string()};
};

TEST_F(SystemdNotifyTest, EachStateReachesTheManagerAsOneMessage) {
  ASSERT_TRUE(manager_.Bound());
  TestSupport::ScopedEnvironment notify("NOTIFY_SOCKET", manager_.Path().c_str());

  const uint64_t before = MonotonicMicros();
  Host::NotifyReloading();
  const uint64_t after = MonotonicMicros();
  const auto reloading = manager_.Receive(5000);
  ASSERT_TRUE(reloading);
  const std::string prefix = "RELOADING=1\nMONOTONIC_USEC=";
  ASSERT_EQ(reloading->rfind(prefix, 0), 0u) << *reloading;
  const uint64_t stamp = std::stoull(reloading->substr(prefix.size()));
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, after);

  // A status is one line whatever the share's folder is called.
  Host::NotifyReady("Serving '/srv/a\nREADY=0' as '/share'");
  EXPECT_EQ(manager_.Receive(5000), "READY=1\nSTATUS=Serving '/srv/a\\x0aREADY=0' as '/share'");
  Host::NotifyStopping();
  EXPECT_EQ(manager_.Receive(5000), "STOPPING=1");
}

TEST_F(SystemdNotifyTest, NothingIsSentOutsideSystemd) {
  ASSERT_TRUE(manager_.Bound());
  TestSupport::ScopedEnvironment notify("NOTIFY_SOCKET", nullptr);
  Host::NotifyReady("Serving");
  Host::NotifyReloading();
  Host::NotifyStopping();
  EXPECT_FALSE(manager_.Receive(100));
}

}  // namespace
