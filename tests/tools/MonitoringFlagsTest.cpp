// "nfs_host stats" and "nfs_host status" refuse what they do not understand
// before they reach for a host, and say so.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/module/HostProcess.h"
#include "tests/support/TempDir.h"

namespace {

using Outcome = TestSupport::HostRun;

Outcome RunHost(const std::vector<std::string>& arguments) {
  return TestSupport::RunHostToEnd(arguments, 10000);
}

void ExpectRefused(const std::vector<std::string>& arguments, const std::string& message) {
  const Outcome outcome = RunHost(arguments);
  std::string shown;
  for (const auto& argument : arguments) shown += argument + " ";
  EXPECT_EQ(outcome.status, 2) << shown;
  EXPECT_NE(outcome.errors.find(message), std::string::npos) << shown << ": " << outcome.errors;
  EXPECT_EQ(outcome.output, "") << shown;
}

TEST(MonitoringFlagsTest, StatsRefusesBadFlagsWithExitStatus2) {
  ExpectRefused({"stats", "--verbose"}, "unknown option '--verbose'");
  ExpectRefused({"stats", "extra"}, "unexpected argument 'extra'");
  ExpectRefused({"stats", "--interval"}, "--interval needs a number of seconds");
  for (const char* bad : {"0", "-1", "abc", "1x", "nan", "inf", "86401", ""}) {
    ExpectRefused({"stats", "--interval", bad}, "--interval takes a number of seconds");
  }
  for (const char* bad : {"0", "-2", "two", "99999999999999999999"}) {
    ExpectRefused({"stats", "--interval", "1", "--count", bad}, "--count takes a whole number");
  }
  ExpectRefused({"stats", "--count", "2"}, "--count goes with --interval");
  ExpectRefused({"stats", "--control-socket"}, "--control-socket needs a path");
}

TEST(MonitoringFlagsTest, StatusRefusesBadFlagsWithExitStatus2) {
  ExpectRefused({"status", "--verbose"}, "unknown option '--verbose'");
  ExpectRefused({"status", "--interval", "1"}, "unknown option '--interval'");
  ExpectRefused({"status", "json"}, "unexpected argument 'json'");
  ExpectRefused({"status", "--control-socket"}, "--control-socket needs a path");
}

TEST(MonitoringFlagsTest, StatusExplainsItself) {
  const Outcome help = RunHost({"status", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.output.rfind("Usage: nfs_host status", 0), 0u) << help.output;
  const Outcome overall = RunHost({"--help"});
  EXPECT_NE(overall.output.find(" status "), std::string::npos) << overall.output;
}

TEST(MonitoringFlagsTest, StatsExplainsItself) {
  const Outcome help = RunHost({"stats", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.output.rfind("Usage: nfs_host stats", 0), 0u) << help.output;
  EXPECT_NE(help.output.find("--interval SECONDS"), std::string::npos);
  const Outcome overall = RunHost({"--help"});
  EXPECT_NE(overall.output.find(" stats "), std::string::npos) << overall.output;
}

// Every client of the control socket connects the same way, and says so the same way.
TEST(MonitoringFlagsTest, WithoutAHostEveryClientSaysSo) {
  TestSupport::TempDir temp;
  const std::string socket = (temp.Path() / "none.sock").string();
  for (const char* command : {"stats", "status", "watch", "call"}) {
    std::vector<std::string> arguments{command, "--control-socket", socket};
    if (arguments[0] == "call") arguments.emplace_back("StartServer");
    const Outcome outcome = RunHost(arguments);
    EXPECT_EQ(outcome.status, 2) << command;
    EXPECT_NE(outcome.errors.find("Cannot reach the host at '" + socket + "'"), std::string::npos) << outcome.errors;
  }
}

}  // namespace
