// The host started from a configuration file and told to read it again
// (SIGHUP), as systemd's "reload" does: who may do what changes at once for
// the next calls, the log file is opened again for logrotate, what needs a
// restart says so, and a file that does not read changes nothing.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/module/HostProcess.h"
#include "tests/service_lib/CallClient.h"
#include "tests/support/Ports.h"
#include "tests/support/TempDir.h"

namespace {

using TestSupport::HostProcess;

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

uint16_t FreePort() {
  const int reserved = TestSupport::BoundLoopbackSocket();
  const uint16_t port = TestSupport::PortOf(reserved);
  close(reserved);
  return port;
}

TEST(ConfigFileTest, TheFileSetsWhatTheFlagsLeaveAndABadOneStopsTheStart) {
  TestSupport::TempDir temp;
  const std::string control = (temp.Path() / "control.sock").string();
  const std::string config = (temp.Path() / "nfs_host.conf").string();
  const uint16_t port = FreePort();
  temp.WriteFile("nfs_host.conf", "# made by the test\nlocal-path = " + (temp.Path() / "from-file").string() +
                                      "\nshare-name = /fromfile\nlisten = 127.0.0.1\nport = " +
                                      std::to_string(port) + "\nread-only = yes\n");
  {
    HostProcess host({"--config=" + config, "--control-socket", control, "--share-name", "/fromflag"});
    ASSERT_TRUE(host.WaitForOutput("Stop with", 20000)) << host.ErrorOutput();
    EXPECT_NE(host.Output().find("Serving '" + (temp.Path() / "from-file").string() + "' as '/fromflag'"),
              std::string::npos)
        << host.Output();
    TestSupport::Client client(nullptr, "127.0.0.1", port);
    std::vector<uint8_t> root;
    ASSERT_EQ(client.Mnt("/fromflag", &root), MNT3_OK);
    EXPECT_EQ(client.Create(root, "refused.txt"), NFS3ERR_ROFS);
    host.Signal(SIGTERM);
    EXPECT_EQ(host.WaitForExit(10000), 0);
  }

  const std::filesystem::path never = temp.Path() / "never";
  temp.WriteFile("bad.conf", "local-path = " + never.string() + "\n\nprot = 2049\n");
  const std::string bad = (temp.Path() / "bad.conf").string();
  for (const auto& [file, says] : std::vector<std::pair<std::string, std::string>>{
           {bad, bad + ":3: unknown key 'prot'"},
           {(temp.Path() / "missing.conf").string(), "missing.conf: cannot be read"}}) {
    HostProcess host({"--config", file, "--control-socket", control});
    EXPECT_EQ(host.WaitForExit(10000), 2) << file;
    EXPECT_NE(host.ErrorOutput().find(says), std::string::npos) << host.ErrorOutput();
    EXPECT_FALSE(std::filesystem::exists(never));
  }
}

TEST(ConfigFileTest, ReloadChangesAccessAtOnceReopensTheLogAndNamesWhatNeedsARestart) {
  TestSupport::TempDir temp;
  const std::string control = (temp.Path() / "control.sock").string();
  const std::filesystem::path exported = temp.Path() / "export";
  const std::filesystem::path log = temp.Path() / "host.log";
  const uint16_t port = FreePort();
  const std::string common = "local-path = " + exported.string() + "\nlisten = 127.0.0.1\nport = " +
                             std::to_string(port) + "\nlog-file = " + log.string() + "\n";
  temp.WriteFile("nfs_host.conf", common + "read-only = no\n");
  HostProcess host({"--config", (temp.Path() / "nfs_host.conf").string(), "--control-socket", control});
  ASSERT_TRUE(host.WaitForOutput("Serving", 20000)) << host.ErrorOutput();

  TestSupport::Client client(nullptr, "127.0.0.1", port);
  std::vector<uint8_t> root;
  ASSERT_EQ(client.Mnt("/share", &root), MNT3_OK);
  ASSERT_EQ(client.Create(root, "before.txt"), NFS3_OK);

  // logrotate moves the file away, then the host is told to read again.
  std::filesystem::rename(log, temp.Path() / "host.log.1");
  temp.WriteFile("nfs_host.conf", common + "read-only = yes\nshare-name = /elsewhere\n");
  host.Signal(SIGHUP);
  ASSERT_TRUE(host.WaitForErrorOutput("Settings read again", 10000)) << host.ErrorOutput();
  // On the connection made before, the very next call is refused.
  EXPECT_EQ(client.Create(root, "after.txt"), NFS3ERR_ROFS);
  EXPECT_FALSE(std::filesystem::exists(exported / "after.txt"));
  EXPECT_NE(host.ErrorOutput().find("'share-name' changed from '(default)' to '/elsewhere': that takes a restart"),
            std::string::npos)
      << host.ErrorOutput();
  // The share keeps its name until then.
  EXPECT_EQ(TestSupport::Client(nullptr, "127.0.0.1", port).Mnt("/share"), MNT3_OK);
  EXPECT_NE(ReadAll(log).find("Settings read again"), std::string::npos) << ReadAll(log);
  EXPECT_EQ(ReadAll(temp.Path() / "host.log.1").find("Settings read again"), std::string::npos);

  const TestSupport::HostRun status = TestSupport::RunHostToEnd({"status", "--control-socket", control});
  EXPECT_NE(status.output.find("read-only"), std::string::npos) << status.output;

  // A file that does not read leaves everything as it was.
  temp.WriteFile("nfs_host.conf", common + "read-only = sometimes\n");
  host.Signal(SIGHUP);
  ASSERT_TRUE(host.WaitForErrorOutput("were not read again", 10000)) << host.ErrorOutput();
  EXPECT_NE(host.ErrorOutput().find("nfs_host.conf:5: read-only 'sometimes': give yes or no"), std::string::npos)
      << host.ErrorOutput();
  EXPECT_EQ(client.Create(root, "still.txt"), NFS3ERR_ROFS);

  // The list of clients changes at once too: this machine's 127.0.0.1 is
  // no longer on it, 127.0.0.2 is.
  temp.WriteFile("nfs_host.conf", common + "allow-clients = 127.0.0.2/32\n");
  host.Signal(SIGHUP);
  ASSERT_TRUE(host.WaitForErrorOutput("Clients allowed now: 127.0.0.2", 10000)) << host.ErrorOutput();
  EXPECT_EQ(client.Create(root, "outsider.txt"), NFS3ERR_ACCES);
  TestSupport::Client member("127.0.0.2", "127.0.0.1", port);
  std::vector<uint8_t> memberRoot;
  ASSERT_EQ(member.Mnt("/share", &memberRoot), MNT3_OK);
  EXPECT_EQ(member.Create(memberRoot, "member.txt"), NFS3_OK);
  EXPECT_TRUE(std::filesystem::exists(exported / "member.txt"));
  EXPECT_FALSE(std::filesystem::exists(exported / "outsider.txt"));

  host.Signal(SIGTERM);
  EXPECT_EQ(host.WaitForExit(10000), 0);
}

}  // namespace
