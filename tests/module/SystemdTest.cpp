// The host as a unit of Type=notify with its standard error in the journal,
// as systemd runs it: the service manager's socket and the stream are the
// test's own.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>

#include "tests/module/HostProcess.h"
#include "tests/support/NotifySocket.h"
#include "tests/support/Ports.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempDir.h"

namespace {

using TestSupport::HostProcess;

bool JournaldListens() { return std::filesystem::exists("/run/systemd/journal/socket"); }

TEST(SystemdTest, ReadyOnceServingAgainAfterAReloadAndStoppingOnSigterm) {
  TestSupport::TempDir temp;
  TestSupport::NotifySocket manager((temp.Path() / "notify").string());
  ASSERT_TRUE(manager.Bound()) << manager.Path();
  const std::string exported = (temp.Path() / "exported").string();
  const std::string control = (temp.Path() / "control.sock").string();
  const std::string port = std::to_string(TestSupport::FreeLoopbackPort());
  std::optional<HostProcess> host;
  {
    TestSupport::ScopedEnvironment notify("NOTIFY_SOCKET", manager.Path().c_str());
    host.emplace(std::vector<std::string>{"--local-path", exported, "--share-name", "/share", "--listen", "127.0.0.1",
                                          "--port", port, "--control-socket", control});
  }

  const auto ready = manager.Receive(20000);
  ASSERT_TRUE(ready) << host->ErrorOutput();
  EXPECT_EQ(*ready, "READY=1\nSTATUS=Serving '" + exported + "' as '/share' on port " + port);
  // Ready means reachable: the control channel is open by then.
  EXPECT_TRUE(std::filesystem::exists(control));
  EXPECT_TRUE(host->WaitForOutput("Serving", 10000));
  EXPECT_FALSE(manager.Receive(0)) << "nothing more until a reload or the stop";

  // A reload (SIGHUP) is framed as systemd's ExecReload waits for it.
  host->Signal(SIGHUP);
  const auto reloading = manager.Receive(10000);
  ASSERT_TRUE(reloading);
  EXPECT_EQ(reloading->rfind("RELOADING=1\nMONOTONIC_USEC=", 0), 0u) << *reloading;
  const auto readyAgain = manager.Receive(10000);
  ASSERT_TRUE(readyAgain);
  EXPECT_EQ(*readyAgain, *ready);
  EXPECT_TRUE(host->WaitForErrorOutput("Settings read again", 10000)) << host->ErrorOutput();

  host->Signal(SIGTERM);
  const auto stopping = manager.Receive(10000);
  ASSERT_TRUE(stopping);
  EXPECT_EQ(*stopping, "STOPPING=1");
  EXPECT_EQ(host->WaitForExit(10000), 0);
  EXPECT_FALSE(manager.Receive(0));
}

TEST(SystemdTest, LogLinesInTheJournalCarryPrioritiesAndNoTime) {
  TestSupport::TempDir temp;
  HostProcess host({"--local-path", (temp.Path() / "exported").string(), "--share-name", "/share", "--listen",
                    "127.0.0.1", "--port", std::to_string(TestSupport::FreeLoopbackPort()), "--control-socket",
                    (temp.Path() / "control.sock").string(), "--async-writes"},
                   -1, true);
  ASSERT_TRUE(host.WaitForOutput("Serving", 20000)) << host.ErrorOutput();
  host.Signal(SIGTERM);
  EXPECT_EQ(host.WaitForExit(10000), 0);

  const std::string errors = host.ErrorOutput();
  EXPECT_NE(errors.find("<5>386: Starting NFS network services.\n"), std::string::npos) << errors;
  EXPECT_NE(errors.find("<4>386: Writes are asynchronous: "), std::string::npos) << errors;
  EXPECT_NE(errors.find("<5>386: NFS network services have been stopped.\n"), std::string::npos) << errors;
  std::istringstream lines(errors);
  const std::regex journalLine(R"(^<[3457]>\d+: \S)");
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(std::regex_search(line, journalLine)) << line;
    EXPECT_EQ(line.find("Z ["), std::string::npos) << line;
  }
}

TEST(SystemdTest, FailedStartInTheJournalIsAnErrorEntry) {
  HostProcess host({"--local-path", "", "--share-name", "/share"}, -1, true);
  EXPECT_EQ(host.WaitForExit(20000), 1);
  const std::string errors = host.ErrorOutput();
  // journald takes the chain as one entry; without it every line keeps the priority.
  if (JournaldListens() && errors.find("Cannot start the NFS server") == std::string::npos) return;
  EXPECT_NE(errors.find("<3>Cannot start the NFS server:\n<3>0x01820031: Failed to start the NFS server."),
            std::string::npos)
      << errors;
  EXPECT_NE(errors.find("\n<3>  0x01820001: The specified local path is invalid."), std::string::npos) << errors;
}

// Under systemd a configuration file that does not read is what an operator
// looks for first: an error entry naming the file and the line.
TEST(SystemdTest, ABadConfigurationFileOrFlagInTheJournalIsAnErrorEntry) {
  TestSupport::TempDir temp;
  temp.WriteFile("nfs_host.conf", "share-name = /share\nprot = 2049\n");
  const std::string config = (temp.Path() / "nfs_host.conf").string();
  HostProcess host({"--config", config}, -1, true);
  EXPECT_EQ(host.WaitForExit(20000), 2);
  EXPECT_EQ(host.ErrorOutput(), "<3>nfs_host: " + config + ":2: unknown key 'prot'\n");

  // So is a flag that is refused (a drop-in's ExecStart=, say).
  HostProcess flagged({"--port", "x"}, -1, true);
  EXPECT_EQ(flagged.WaitForExit(20000), 2);
  EXPECT_EQ(flagged.ErrorOutput(), "<3>nfs_host: --port 'x': give a number from 1 to 65535 (see 'nfs_host --help')\n");
}

}  // namespace
