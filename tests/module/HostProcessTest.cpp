#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nfsc/libnfs.h>

#include <string>
#include <vector>

#include "tests/module/HostProcess.h"
#include "tests/support/TempDir.h"

namespace {

using TestSupport::HostProcess;

TEST(HostProcessTest, ServesUntilSigtermAndKeepsTheData) {
  TestSupport::TempDir temp;
  const std::string exported = (temp.Path() / "exported").string();
  HostProcess host({"--local-path", exported, "--share-name", "/share"});
  ASSERT_TRUE(host.WaitForOutput("Serving", 20000)) << host.ErrorOutput();

  nfs_context* nfs = nfs_init_context();
  nfs_set_timeout(nfs, 10000);
  nfs_url* url =
      nfs_parse_url_dir(nfs, "nfs://127.0.0.1/share?version=3&nfsport=2029&mountport=2029&auto-traverse-mounts=0");
  ASSERT_NE(url, nullptr);
  ASSERT_EQ(nfs_mount(nfs, url->server, url->path), 0) << nfs_get_error(nfs);
  nfsfh* file = nullptr;
  ASSERT_EQ(nfs_creat(nfs, "/copied.txt", 0644, &file), 0) << nfs_get_error(nfs);
  const std::string data = "data that must survive the host";
  ASSERT_EQ(nfs_pwrite(nfs, file, 0, data.size(), data.data()), static_cast<int>(data.size()));
  nfs_close(nfs, file);
  nfs_destroy_url(url);
  nfs_destroy_context(nfs);

  host.Signal(SIGTERM);
  EXPECT_EQ(host.WaitForExit(10000), 0);
  EXPECT_NE(host.ErrorOutput().find("NFS network services have been stopped."), std::string::npos);
  EXPECT_EQ(temp.ReadFile("exported/copied.txt"), data);
}

TEST(HostProcessTest, StartFailuresPrintTheWholeChain) {
  HostProcess host({"--local-path", "", "--share-name", "/share"});
  EXPECT_EQ(host.WaitForExit(20000), 1);
  const std::string errors = host.ErrorOutput();
  EXPECT_NE(errors.find("0x01820031: Failed to start the NFS server."), std::string::npos) << errors;
  EXPECT_NE(errors.find("0x01820001: The specified local path is invalid."), std::string::npos) << errors;

  HostProcess unknown({"--no-such-flag"});
  EXPECT_EQ(unknown.WaitForExit(5000), 2);
}

TEST(HostProcessTest, HelpExplainsEveryFlag) {
  HostProcess host({"--help"});
  ASSERT_TRUE(host.WaitForOutput("--log-level", 5000));
  EXPECT_EQ(host.WaitForExit(5000), 0);
}

}  // namespace
