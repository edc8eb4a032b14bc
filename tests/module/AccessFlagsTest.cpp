// The host's access flags as an operator uses them: bad values stop the
// start with a usage error, a named port is that port or no start, and
// status and metrics say who may connect.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <string>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "tests/module/HostProcess.h"
#include "tests/service_lib/CallClient.h"
#include "tests/support/Ports.h"
#include "tests/support/TempDir.h"

namespace {

using TestSupport::HostProcess;

TEST(AccessFlagsTest, BadValuesStopTheStartNamingWhatIsWrong) {
  TestSupport::TempDir temp;
  const std::string exported = (temp.Path() / "export").string();
  const std::string control = (temp.Path() / "control.sock").string();
  const std::vector<std::pair<std::string, std::string>> lists = {
      {"10.0.0.0/33", "10.0.0.0/33"},   {"300.1.1.1", "300.1.1.1"},     {"fd00::/129", "fd00::/129"},
      {"nfs.example.org", "nfs.example.org"}, {"10.0.0.1,,10.0.0.2", "empty entry"}, {"", "empty"},
      {"10.0.0.0/x", "10.0.0.0/x"}};
  for (const auto& [list, named] : lists) {
    HostProcess host({"--local-path", exported, "--control-socket", control, "--allow-clients", list});
    EXPECT_EQ(host.WaitForExit(10000), 2) << list;
    const std::string errors = host.ErrorOutput();
    EXPECT_NE(errors.find(named), std::string::npos) << list << ": " << errors;
    EXPECT_EQ(errors.find("Exporting"), std::string::npos) << errors;
  }
  for (const std::vector<std::string>& flags : std::vector<std::vector<std::string>>{
           {"--listen", "localhost"}, {"--listen", "127.0.0.1:2029"}, {"--port", "0"}, {"--port", "65536"},
           {"--port", "20x"}, {"--port"}}) {
    std::vector<std::string> arguments{"--local-path", exported, "--control-socket", control};
    arguments.insert(arguments.end(), flags.begin(), flags.end());
    HostProcess host(arguments);
    EXPECT_EQ(host.WaitForExit(10000), 2) << flags[0] << " " << (flags.size() > 1 ? flags[1] : "");
    EXPECT_NE(host.ErrorOutput().find(flags[0]), std::string::npos) << host.ErrorOutput();
  }
}

TEST(AccessFlagsTest, ANamedPortThatIsTakenStopsTheStart) {
  TestSupport::TempDir temp;
  const int taken = TestSupport::BoundLoopbackSocket();
  ASSERT_EQ(listen(taken, 1), 0);
  const std::string port = std::to_string(TestSupport::PortOf(taken));
  HostProcess host({"--local-path", (temp.Path() / "export").string(), "--control-socket",
                    (temp.Path() / "control.sock").string(), "--listen", "127.0.0.1", "--port", port});
  EXPECT_EQ(host.WaitForExit(20000), 1);
  const std::string errors = host.ErrorOutput();
  EXPECT_NE(errors.find("Cannot listen on 127.0.0.1:" + port), std::string::npos) << errors;
  close(taken);
}

TEST(AccessFlagsTest, StatusAndMetricsSayWhoMayConnect) {
  TestSupport::TempDir temp;
  const std::string control = (temp.Path() / "control.sock").string();
  const int reserved = TestSupport::BoundLoopbackSocket();
  const int reservedMetrics = TestSupport::BoundLoopbackSocket();
  const uint16_t port = TestSupport::PortOf(reserved);
  const uint16_t metricsPort = TestSupport::PortOf(reservedMetrics);
  close(reserved);
  close(reservedMetrics);
  HostProcess host({"--local-path", (temp.Path() / "export").string(), "--control-socket", control,
                    "--allow-clients", "127.0.0.2/32, fd00::/8", "--read-only", "--listen", "127.0.0.1", "--port",
                    std::to_string(port), "--metrics-listen", "127.0.0.1:" + std::to_string(metricsPort)});
  ASSERT_TRUE(host.WaitForOutput("Serving", 20000)) << host.ErrorOutput();

  // A client from 127.0.0.1 is not on the list; 127.0.0.2 is.
  {
    TestSupport::Client outsider(nullptr, "127.0.0.1", port);
    ASSERT_TRUE(outsider.mount.IsConnected());
    EXPECT_EQ(outsider.Mnt("/share"), MNT3ERR_ACCES);
    TestSupport::Client member("127.0.0.2", "127.0.0.1", port);
    ASSERT_TRUE(member.mount.IsConnected());
    EXPECT_EQ(member.Mnt("/share"), MNT3_OK);
  }
  EXPECT_TRUE(host.WaitForErrorOutput("Refused the calls of 127.0.0.1", 5000)) << host.ErrorOutput();

  const TestSupport::HostRun json = TestSupport::RunHostToEnd({"status", "--control-socket", control, "--json"});
  ASSERT_EQ(json.status, 0) << json.errors;
  const nlohmann::json status = nlohmann::json::parse(json.output);
  EXPECT_EQ(status.at("access").at("allow_clients"), "127.0.0.2,fd00::/8");
  EXPECT_EQ(status.at("access").at("read_only"), true);
  EXPECT_EQ(status.at("access").at("async_writes"), false);
  EXPECT_EQ(status.at("network").at("listen"), "127.0.0.1:" + std::to_string(port));

  const TestSupport::HostRun screen = TestSupport::RunHostToEnd({"status", "--control-socket", control});
  ASSERT_EQ(screen.status, 0) << screen.errors;
  EXPECT_NE(screen.output.find("127.0.0.2,fd00::/8"), std::string::npos) << screen.output;
  EXPECT_NE(screen.output.find("read-only"), std::string::npos) << screen.output;
  EXPECT_NE(screen.output.find("127.0.0.1:" + std::to_string(port)), std::string::npos) << screen.output;

  const TestSupport::HostRun stats = TestSupport::RunHostToEnd({"stats", "--control-socket", control, "--json"});
  ASSERT_EQ(stats.status, 0) << stats.errors;
  EXPECT_EQ(nlohmann::json::parse(stats.output).at("refused").at("client_not_allowed"), 1);

  httplib::Client page("127.0.0.1", metricsPort);
  const auto metrics = page.Get("/metrics");
  ASSERT_TRUE(metrics);
  const std::string info = "nfs_export_info{share=\"/share\",allow_clients=\"127.0.0.2,fd00::/8\",read_only=\"true\","
                           "listen=\"127.0.0.1:" + std::to_string(port) + "\"} 1\n";
  EXPECT_NE(metrics->body.find(info), std::string::npos) << metrics->body;
  EXPECT_NE(metrics->body.find("nfs_refused_calls_total{reason=\"client_not_allowed\"} 1\n"), std::string::npos);

  host.Signal(SIGTERM);
  EXPECT_EQ(host.WaitForExit(10000), 0);
}

TEST(AccessFlagsTest, EveryoneIsAllowedOnlyWithAWarning) {
  TestSupport::TempDir temp;
  HostProcess host({"--local-path", (temp.Path() / "export").string(), "--control-socket",
                    (temp.Path() / "control.sock").string(), "--allow-clients", "*"});
  ASSERT_TRUE(host.WaitForOutput("Serving", 20000)) << host.ErrorOutput();
  EXPECT_TRUE(host.WaitForErrorOutput("Every client that can reach this machine may mount the share", 5000))
      << host.ErrorOutput();
  // And root, which the host never needs, is named for what it means.
  EXPECT_EQ(host.ErrorOutput().find("Running as root") != std::string::npos, geteuid() == 0) << host.ErrorOutput();
  host.Signal(SIGTERM);
  EXPECT_EQ(host.WaitForExit(10000), 0);
}

// Writes answered before they reach the disk are the operator's choice,
// said at start and by status.
TEST(AccessFlagsTest, AsyncWritesAreWarnedOfAndShown) {
  TestSupport::TempDir temp;
  const std::string control = (temp.Path() / "control.sock").string();
  const int reserved = TestSupport::BoundLoopbackSocket();
  const uint16_t port = TestSupport::PortOf(reserved);
  close(reserved);
  HostProcess host({"--local-path", (temp.Path() / "export").string(), "--control-socket", control, "--listen",
                    "127.0.0.1", "--port", std::to_string(port), "--async-writes"});
  ASSERT_TRUE(host.WaitForOutput("Serving", 20000)) << host.ErrorOutput();
  EXPECT_TRUE(host.WaitForErrorOutput("Writes are asynchronous", 5000)) << host.ErrorOutput();

  const TestSupport::HostRun json = TestSupport::RunHostToEnd({"status", "--control-socket", control, "--json"});
  ASSERT_EQ(json.status, 0) << json.errors;
  EXPECT_EQ(nlohmann::json::parse(json.output).at("access").at("async_writes"), true);
  const TestSupport::HostRun screen = TestSupport::RunHostToEnd({"status", "--control-socket", control});
  ASSERT_EQ(screen.status, 0) << screen.errors;
  EXPECT_NE(screen.output.find("asynchronous writes"), std::string::npos) << screen.output;

  host.Signal(SIGTERM);
  EXPECT_EQ(host.WaitForExit(10000), 0);
}

// The host needs no privilege: as an unprivileged user it serves a folder
// of that user, and a client asking for root's ownership gets nothing of it.
TEST(AccessFlagsTest, ServesAsAnUnprivilegedUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user; as a user this is every other test";
  constexpr int kNobody = 65534;
  TestSupport::TempDir temp;
  const std::filesystem::path exported = temp.Path() / "export";
  const std::filesystem::path run = temp.Path() / "run";
  std::filesystem::create_directory(exported);
  std::filesystem::create_directory(run);
  // As systemd lays it out: root's folder above, one made for the service
  // user for its socket (its RuntimeDirectory).
  ASSERT_EQ(chmod(temp.Path().c_str(), 0711), 0);
  ASSERT_EQ(chown(exported.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(chown(run.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(chmod(run.c_str(), 0755), 0);
  const int reserved = TestSupport::BoundLoopbackSocket();
  const uint16_t port = TestSupport::PortOf(reserved);
  close(reserved);
  HostProcess host({"--local-path", exported.string(), "--control-socket", (run / "control.sock").string(),
                    "--listen", "127.0.0.1", "--port", std::to_string(port)},
                   kNobody);
  ASSERT_TRUE(host.WaitForOutput("Serving", 20000)) << host.ErrorOutput();
  EXPECT_EQ(host.ErrorOutput().find("Running as root"), std::string::npos);

  TestSupport::Client client(nullptr, "127.0.0.1", port);
  std::vector<uint8_t> root;
  ASSERT_EQ(client.Mnt("/share", &root), MNT3_OK);
  std::vector<uint8_t> file;
  ASSERT_EQ(client.Create(root, "made.txt", &file), NFS3_OK);
  sattr3 toRoot{};
  toRoot.uid.set_it = TRUE;
  toRoot.gid.set_it = TRUE;
  EXPECT_EQ(client.SetAttributes(file, toRoot), NFS3ERR_ACCES);

  struct stat made {};
  ASSERT_EQ(stat((exported / "made.txt").c_str(), &made), 0);
  EXPECT_EQ(made.st_uid, static_cast<uid_t>(kNobody));
  EXPECT_EQ(made.st_gid, static_cast<gid_t>(kNobody));

  // Root, the operator, trusts the service user's socket in the folder made
  // for it, and no socket in a folder others may change.
  const TestSupport::HostRun status = TestSupport::RunHostToEnd({"status", "--control-socket", (run / "control.sock").string()});
  EXPECT_EQ(status.status, 0) << status.errors;
  ASSERT_EQ(chmod(run.c_str(), 0777), 0);
  const TestSupport::HostRun refused = TestSupport::RunHostToEnd({"status", "--control-socket", (run / "control.sock").string()});
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.errors.find("not trusted"), std::string::npos) << refused.errors;
  ASSERT_EQ(chmod(run.c_str(), 0755), 0);
  host.Signal(SIGTERM);
  EXPECT_EQ(host.WaitForExit(10000), 0);
}

// A change the local file system refuses the host's user is the client's
// refusal too, never an OK: the host runs unprivileged (as nobody when the
// test is root, which permissions would not stop).
TEST(AccessFlagsTest, WhatTheHostMayNotWriteIsRefusedAsSuch) {
  const int runAs = geteuid() == 0 ? 65534 : -1;
  TestSupport::TempDir temp;
  const std::filesystem::path exported = temp.Path() / "export";
  std::filesystem::create_directories(exported / "locked");
  { std::ofstream(exported / "locked" / "f.txt") << "kept"; }
  if (runAs >= 0) {
    ASSERT_EQ(chmod(temp.Path().c_str(), 0711), 0);
    ASSERT_EQ(chown(exported.c_str(), runAs, runAs), 0);
    ASSERT_EQ(chown((exported / "locked").c_str(), runAs, runAs), 0);
    ASSERT_EQ(chown((exported / "locked" / "f.txt").c_str(), runAs, runAs), 0);
  }
  ASSERT_EQ(chmod((exported / "locked").c_str(), 0555), 0);
  const int reserved = TestSupport::BoundLoopbackSocket();
  const uint16_t port = TestSupport::PortOf(reserved);
  close(reserved);
  const std::filesystem::path run = temp.Path() / "run";
  std::filesystem::create_directory(run);
  if (runAs >= 0) {
    ASSERT_EQ(chown(run.c_str(), runAs, runAs), 0);
  }
  HostProcess served({"--local-path", exported.string(), "--control-socket", (run / "control.sock").string(),
                      "--listen", "127.0.0.1", "--port", std::to_string(port)},
                     runAs);
  ASSERT_TRUE(served.WaitForOutput("Serving", 20000)) << served.ErrorOutput();

  TestSupport::Client client(nullptr, "127.0.0.1", port);
  std::vector<uint8_t> root;
  ASSERT_EQ(client.Mnt("/share", &root), MNT3_OK);
  std::vector<uint8_t> locked;
  ASSERT_EQ(client.Lookup(root, "locked", &locked), NFS3_OK);
  EXPECT_EQ(client.Remove(locked, "f.txt"), NFS3ERR_ACCES);
  EXPECT_EQ(client.Rename(locked, "f.txt", "g.txt"), NFS3ERR_ACCES);
  EXPECT_EQ(client.Create(locked, "new.txt"), NFS3ERR_ACCES);
  EXPECT_EQ(client.MkDir(locked, "new"), NFS3ERR_ACCES);
  EXPECT_EQ(client.RmDir(root, "locked"), NFS3ERR_NOTEMPTY);
  EXPECT_EQ(client.GetAttr(locked), NFS3_OK);
  std::vector<std::string> names;
  ASSERT_EQ(client.ReadDirPlus(locked, &names), NFS3_OK);
  EXPECT_EQ(names, std::vector<std::string>{"f.txt"});
  std::ifstream kept(exported / "locked" / "f.txt");
  std::string content;
  std::getline(kept, content);
  EXPECT_EQ(content, "kept");
  served.Signal(SIGTERM);
  EXPECT_EQ(served.WaitForExit(10000), 0);
}

}  // namespace
