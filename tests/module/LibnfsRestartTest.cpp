#include <gtest/gtest.h>
#include <nfsc/libnfs.h>

#include <fcntl.h>

#include <memory>

#include "tests/module/RestartingHost.h"

namespace {

// A host restarted under a libnfs client that holds open files (libnfs and
// the RPC library's headers do not mix, so this client has a file of its own).
class LibnfsRestartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    temp_.WriteFile("export/deep/a/b/c/notes.txt", "hello");
    temp_.WriteFile("export/deep/a/b/c/log.txt", "");
  }

  TestSupport::TempDir temp_;
  TestSupport::RestartingHost host_{temp_};
};

// A libnfs context keeps its open files and its root across the restart:
// it reconnects on its own and goes on with the handles it holds.
TEST_F(LibnfsRestartTest, AClientGoesOnWithItsOpenFiles) {
  ASSERT_NO_FATAL_FAILURE(host_.Start());
  nfs_context* nfs = nfs_init_context();
  ASSERT_NE(nfs, nullptr);
  nfs_set_timeout(nfs, 20000);
  nfs_set_autoreconnect(nfs, -1);
  const std::string url = "nfs://127.0.0.1/share?version=3&nfsport=" + std::to_string(host_.Port()) +
                          "&mountport=" + std::to_string(host_.Port()) + "&auto-traverse-mounts=0";
  nfs_url* parsed = nfs_parse_url_dir(nfs, url.c_str());
  ASSERT_NE(parsed, nullptr) << nfs_get_error(nfs);
  ASSERT_EQ(nfs_mount(nfs, parsed->server, parsed->path), 0) << nfs_get_error(nfs);
  nfs_destroy_url(parsed);
  // Files libnfs made and holds open (its nfs_open wants ACCESS to answer
  // exactly the bits it asked for, which this server does not do).
  nfsfh* file = nullptr;
  ASSERT_EQ(nfs_creat(nfs, "/deep/a/b/c/made.txt", 0644, &file), 0) << nfs_get_error(nfs);
  ASSERT_EQ(nfs_pwrite(nfs, file, 0, 6, "first\n"), 6) << nfs_get_error(nfs);

  ASSERT_NO_FATAL_FAILURE(host_.Restart(SIGTERM));
  char buffer[16] = {};
  ASSERT_EQ(nfs_pread(nfs, file, 0, 6, buffer), 6) << nfs_get_error(nfs);
  EXPECT_EQ(std::string(buffer, 6), "first\n");
  ASSERT_EQ(nfs_pwrite(nfs, file, 6, 7, "second\n"), 7) << nfs_get_error(nfs);
  ASSERT_EQ(nfs_fsync(nfs, file), 0) << nfs_get_error(nfs);
  EXPECT_EQ(temp_.ReadFile("export/deep/a/b/c/made.txt"), "first\nsecond\n");

  ASSERT_NO_FATAL_FAILURE(host_.Restart(SIGKILL));
  struct nfs_stat_64 st {};
  ASSERT_EQ(nfs_fstat64(nfs, file, &st), 0) << nfs_get_error(nfs);
  EXPECT_EQ(st.nfs_size, 13u);
  ASSERT_EQ(nfs_pwrite(nfs, file, 13, 6, "third\n"), 6) << nfs_get_error(nfs);
  EXPECT_EQ(temp_.ReadFile("export/deep/a/b/c/made.txt"), "first\nsecond\nthird\n");
  ASSERT_EQ(nfs_stat64(nfs, "/deep/a/b/c/notes.txt", &st), 0) << nfs_get_error(nfs);
  EXPECT_EQ(st.nfs_size, 5u);
  nfs_close(nfs, file);
  nfs_destroy_context(nfs);
}

}  // namespace
