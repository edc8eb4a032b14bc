// "nfs_host nfs" against a host on a port other than 2029: the URL's port and
// query reach the server, over IPv4 and IPv6.
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/module/HostProcess.h"
#include "tests/support/Ports.h"
#include "tests/support/TempDir.h"

namespace {

class NfsSubcommandUrlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = std::to_string(TestSupport::FreeLoopbackPort());
    temp_.WriteFile("export/hello file.txt", "hello over a URL port\n");
    host_ = std::make_unique<TestSupport::HostProcess>(std::vector<std::string>{
        "--local-path", (temp_.Path() / "export").string(), "--share-name", "/share", "--port", port_,
        "--control-socket", (temp_.Path() / "control.sock").string(), "--state-dir",
        (temp_.Path() / "state").string()});
    ASSERT_TRUE(host_->WaitForOutput("Serving", 20000)) << host_->ErrorOutput();
  }

  void TearDown() override {
    host_->Signal(SIGTERM);
    EXPECT_EQ(host_->WaitForExit(10000), 0);
  }

  TestSupport::TempDir temp_;
  std::string port_;
  std::unique_ptr<TestSupport::HostProcess> host_;
};

TEST_F(NfsSubcommandUrlTest, PortAndQueryComeFromTheUrl) {
  const auto listed = TestSupport::RunHostToEnd({"nfs", "ls", "nfs://127.0.0.1:" + port_ + "/share"});
  EXPECT_EQ(listed.status, 0) << listed.errors;
  EXPECT_NE(listed.output.find("hello file.txt"), std::string::npos) << listed.output;

  const auto read = TestSupport::RunHostToEnd({"nfs", "cat", "nfs://127.0.0.1:" + port_ + "/share/hello%20file.txt"});
  EXPECT_EQ(read.status, 0) << read.errors;
  EXPECT_EQ(read.output, "hello over a URL port\n");

  // Both programs named in the query, the authority's port left at its default.
  const auto queried = TestSupport::RunHostToEnd(
      {"nfs", "stat", "nfs://127.0.0.1/share/hello%20file.txt?version=3&nfsport=" + port_ + "&mountport=" + port_});
  EXPECT_EQ(queried.status, 0) << queried.errors;
  EXPECT_NE(queried.output.find("size 22"), std::string::npos) << queried.output;
}

TEST_F(NfsSubcommandUrlTest, Ipv6LiteralInBrackets) {
  const auto put = TestSupport::RunHostToEnd(
      {"nfs", "put", "nfs://[::1]:" + port_ + "/share/copy.txt", (temp_.Path() / "export/hello file.txt").string()});
  EXPECT_EQ(put.status, 0) << put.errors;
  EXPECT_EQ(temp_.ReadFile("export/copy.txt"), "hello over a URL port\n");
  const auto listed = TestSupport::RunHostToEnd({"nfs", "ls", "nfs://[::1]:" + port_ + "/share"});
  EXPECT_EQ(listed.status, 0) << listed.errors;
  EXPECT_NE(listed.output.find("copy.txt"), std::string::npos) << listed.output;
}

TEST_F(NfsSubcommandUrlTest, BadUrlExitsTwoWithOneLine) {
  const std::vector<std::string> badUrls{"nfs://127.0.0.1:99999/share", "nfs://::1/share",
                                         "nfs://127.0.0.1/share?version=4",
                                         "nfs://127.0.0.1:" + port_ + "/share?nosuchkey=1", "http://127.0.0.1/share"};
  for (const std::string& bad : badUrls) {
    const auto run = TestSupport::RunHostToEnd({"nfs", "ls", bad});
    EXPECT_EQ(run.status, 2) << bad;
    EXPECT_TRUE(run.output.empty()) << bad;
    EXPECT_EQ(run.errors.find("nfs ls: bad URL: "), 0u) << bad << ": " << run.errors;
    EXPECT_EQ(run.errors.find('\n'), run.errors.size() - 1) << bad << ": " << run.errors;
  }
  // A good URL to a port nothing serves is a failure to connect, not a usage error.
  const auto unserved = TestSupport::RunHostToEnd(
      {"nfs", "ls", "nfs://127.0.0.1:" + std::to_string(TestSupport::FreeLoopbackPort()) + "/share"});
  EXPECT_EQ(unserved.status, 1) << unserved.errors;
}

}  // namespace
