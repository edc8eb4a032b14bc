// The command lines of nfs_host and its subcommands, run as the operator
// runs them: help and version on standard output, values after "=" or as
// the next word, and one line with a hint for what is not understood.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "tests/module/HostProcess.h"
#include "tests/support/TempDir.h"

namespace {

using Outcome = TestSupport::HostRun;

const std::vector<std::string> kSubcommands = {"call", "nfs", "status", "stats", "watch"};

Outcome RunHost(const std::vector<std::string>& arguments) { return TestSupport::RunHostToEnd(arguments, 10000); }

std::string Shown(const std::vector<std::string>& arguments) {
  std::string shown = "nfs_host";
  for (const auto& argument : arguments) shown += " " + argument;
  return shown;
}

TEST(CommandLineTest, HelpAndVersionGoToStandardOutput) {
  std::vector<std::vector<std::string>> commands = {{}};
  for (const auto& subcommand : kSubcommands) commands.push_back({subcommand});
  const Outcome version = RunHost({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(std::regex_match(version.output, std::regex(R"(nfs_host [0-9]+\.[0-9]+\.[0-9]+( \([^ ]+\))?\n)")))
      << version.output;
  for (const auto& command : commands) {
    for (const char* flag : {"--help", "-h"}) {
      std::vector<std::string> arguments = command;
      arguments.emplace_back(flag);
      const Outcome help = RunHost(arguments);
      EXPECT_EQ(help.status, 0) << Shown(arguments);
      EXPECT_NE(help.output.find("Usage: "), std::string::npos) << Shown(arguments);
      EXPECT_NE(help.output.find("--help"), std::string::npos) << Shown(arguments);
      EXPECT_EQ(help.errors, "") << Shown(arguments);
    }
    std::vector<std::string> arguments = command;
    arguments.emplace_back("--version");
    const Outcome same = RunHost(arguments);
    EXPECT_EQ(same.status, 0) << Shown(arguments);
    EXPECT_EQ(same.output, version.output) << Shown(arguments);
  }
}

TEST(CommandLineTest, ValuesComeAfterEqualsOrAsTheNextWord) {
  TestSupport::TempDir temp;
  const std::string socket = (temp.Path() / "none.sock").string();
  for (const auto& subcommand : {"status", "stats", "watch", "call"}) {
    for (const std::vector<std::string>& flag : std::vector<std::vector<std::string>>{
             {"--control-socket=" + socket}, {"--control-socket", socket}}) {
      std::vector<std::string> arguments{subcommand};
      arguments.insert(arguments.end(), flag.begin(), flag.end());
      if (arguments[0] == "call") arguments.emplace_back("NFS::X");
      const Outcome outcome = RunHost(arguments);
      EXPECT_EQ(outcome.status, 2) << Shown(arguments);
      EXPECT_NE(outcome.errors.find("Cannot reach the host at '" + socket + "'"), std::string::npos)
          << Shown(arguments) << ": " << outcome.errors;
    }
  }
  // Each level by number and by name is taken: the unknown flag after it is
  // what stops the host.
  for (const char* level : {"1", "4", "trace", "notice", "warning", "failure"}) {
    const Outcome outcome = RunHost({std::string("--log-level=") + level, "--no-such-flag"});
    EXPECT_EQ(outcome.status, 2) << level;
    EXPECT_NE(outcome.errors.find("unknown option '--no-such-flag'"), std::string::npos) << outcome.errors;
  }
}

TEST(CommandLineTest, UsageErrorsAreOneLineWithAHint) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--no-such-flag"}, "unknown option '--no-such-flag'"},
      {{"--log-level", "5"}, "--log-level '5'"},
      {{"--log-level=1x"}, "--log-level '1x'"},
      {{"--log-level", "debug"}, "--log-level 'debug'"},
      {{"--port=20x"}, "--port '20x'"},
      {{"--port", "+80"}, "--port '+80'"},
      {{"--cache-objects", "-1"}, "--cache-objects '-1'"},
      {{"--read-only=yes"}, "--read-only takes no value"},
      {{"--port"}, "--port needs"},
      {{"status", "--json=1"}, "--json takes no value"},
      {{"stats", "--interval", "1e400"}, "--interval takes a number of seconds"},
      {{"stats", "--interval=1", "--count", " 2"}, "--count takes a whole number"},
      {{"watch", "--bogus"}, "unknown option '--bogus'"},
      {{"call"}, "missing the COMMAND"},
      {{"nfs", "ls"}, "missing the URL"},
      {{"nfs", "move", "nfs://127.0.0.1/share"}, "unknown action 'move'"},
  };
  for (const auto& [arguments, problem] : cases) {
    const Outcome outcome = RunHost(arguments);
    EXPECT_EQ(outcome.status, 2) << Shown(arguments);
    EXPECT_EQ(outcome.output, "") << Shown(arguments);
    EXPECT_NE(outcome.errors.find(problem), std::string::npos) << Shown(arguments) << ": " << outcome.errors;
    EXPECT_EQ(std::count(outcome.errors.begin(), outcome.errors.end(), '\n'), 1) << outcome.errors;
    const bool subcommand =
        !arguments.empty() && std::find(kSubcommands.begin(), kSubcommands.end(), arguments[0]) != kSubcommands.end();
    const std::string hint = "(see 'nfs_host " + (subcommand ? arguments[0] + " " : std::string()) + "--help')\n";
    EXPECT_TRUE(outcome.errors.ends_with(hint)) << Shown(arguments) << ": " << outcome.errors;
  }
}

}  // namespace
