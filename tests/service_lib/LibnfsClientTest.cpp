#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <sys/statvfs.h>
#include <sys/time.h>

#include <nfsc/libnfs.h>

#include <set>
#include <string>

#include "tests/service_lib/RunningService.h"

namespace {

// A libnfs context mounted on the share of the running service.
class LibnfsClientTest : public TestSupport::RunningServiceTest {
 protected:
  void SetUp() override {
    RunningServiceTest::SetUp();
    nfs_ = nfs_init_context();
    ASSERT_NE(nfs_, nullptr);
    // Every call is bounded: a reply that never comes fails the test.
    nfs_set_timeout(nfs_, 10000);
    // MOUNT EXPORT is never answered here; libnfs must not wait for it.
    const std::string url = "nfs://127.0.0.1/share?version=3&nfsport=" + std::to_string(port_) +
                            "&mountport=" + std::to_string(port_) + "&auto-traverse-mounts=0";
    nfs_url* parsed = nfs_parse_url_dir(nfs_, url.c_str());
    ASSERT_NE(parsed, nullptr) << nfs_get_error(nfs_);
    ASSERT_EQ(nfs_mount(nfs_, parsed->server, parsed->path), 0) << nfs_get_error(nfs_);
    nfs_destroy_url(parsed);
  }

  void TearDown() override {
    if (nfs_ != nullptr) nfs_destroy_context(nfs_);
    RunningServiceTest::TearDown();
  }

  nfs_context* nfs_ = nullptr;
};

TEST_F(LibnfsClientTest, WalkCreateWriteReadAndChangeTheTree) {
  temp_.WriteFile("export/existing.txt", "already here");
  struct nfs_stat_64 st {};
  ASSERT_EQ(nfs_stat64(nfs_, "/existing.txt", &st), 0) << nfs_get_error(nfs_);
  EXPECT_EQ(st.nfs_size, 12u);
  ASSERT_EQ(nfs_stat64(nfs_, "/", &st), 0);
  EXPECT_TRUE(S_ISDIR(st.nfs_mode));

  ASSERT_EQ(nfs_mkdir(nfs_, "/dir"), 0) << nfs_get_error(nfs_);
  nfsfh* file = nullptr;
  ASSERT_EQ(nfs_creat(nfs_, "/dir/data.bin", 0644, &file), 0) << nfs_get_error(nfs_);
  // Several chunks of 32 KiB, sent by libnfs at once on one connection.
  std::string data(200000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 131) >> 3);
  ASSERT_EQ(nfs_pwrite(nfs_, file, 0, data.size(), data.data()), static_cast<int>(data.size()))
      << nfs_get_error(nfs_);
  std::string back(data.size(), '\0');
  ASSERT_EQ(nfs_pread(nfs_, file, 0, back.size(), back.data()), static_cast<int>(back.size()))
      << nfs_get_error(nfs_);
  EXPECT_EQ(back, data);
  nfs_close(nfs_, file);
  EXPECT_EQ(temp_.ReadFile("export/dir/data.bin"), data);

  ASSERT_EQ(nfs_truncate(nfs_, "/dir/data.bin", 1000), 0) << nfs_get_error(nfs_);
  ASSERT_EQ(nfs_stat64(nfs_, "/dir/data.bin", &st), 0);
  EXPECT_EQ(st.nfs_size, 1000u);
  ASSERT_EQ(nfs_chmod(nfs_, "/dir/data.bin", 0600), 0) << nfs_get_error(nfs_);
  struct stat local {};
  ASSERT_EQ(stat(Local("dir/data.bin").c_str(), &local), 0);
  EXPECT_EQ(local.st_mode & 07777, 0600u);

  ASSERT_EQ(nfs_rename(nfs_, "/dir/data.bin", "/dir/renamed.bin"), 0) << nfs_get_error(nfs_);
  EXPECT_TRUE(temp_.Exists("export/dir/renamed.bin"));
  EXPECT_NE(nfs_rename(nfs_, "/dir/renamed.bin", "/moved.bin"), 0);  // across directories
  nfs_rmdir(nfs_, "/dir");  // not empty: whatever the answer, nothing is lost
  EXPECT_TRUE(temp_.Exists("export/dir/renamed.bin"));
  ASSERT_EQ(nfs_unlink(nfs_, "/dir/renamed.bin"), 0) << nfs_get_error(nfs_);
  ASSERT_EQ(nfs_rmdir(nfs_, "/dir"), 0) << nfs_get_error(nfs_);
  EXPECT_FALSE(temp_.Exists("export/dir"));
  EXPECT_NE(nfs_stat64(nfs_, "/dir", &st), 0);

  struct statvfs vfs {};
  ASSERT_EQ(nfs_statvfs(nfs_, "/", &vfs), 0) << nfs_get_error(nfs_);
  EXPECT_GT(vfs.f_blocks, 0u);
}

TEST_F(LibnfsClientTest, ListsALargeDirectoryOverManyReplies) {
  std::filesystem::create_directory(Local("big"));
  std::set<std::string> expected;
  for (int i = 0; i < 3000; ++i) {
    const std::string name = "entry-" + std::to_string(i);
    temp_.WriteFile("export/big/" + name, "");
    expected.insert(name);
  }
  // Thousands of ids are digested for the listing: slow in sanitizer builds.
  nfs_set_timeout(nfs_, 120000);
  nfsdir* dir = nullptr;
  ASSERT_EQ(nfs_opendir(nfs_, "/big", &dir), 0) << nfs_get_error(nfs_);
  std::set<std::string> listed;
  for (nfsdirent* entry = nfs_readdir(nfs_, dir); entry != nullptr; entry = nfs_readdir(nfs_, dir)) {
    const std::string name = entry->name;
    if (name != "." && name != "..") listed.insert(name);
  }
  nfs_closedir(nfs_, dir);
  EXPECT_EQ(listed, expected);
}

TEST(LibnfsPortmapperTest, ReachesTheServiceThroughThePortmapperWhenThePortIsTaken) {
  // Someone else holds the fixed port.
  const int blocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(blocker, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(2029);
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(blocker, 1), 0);

  TestSupport::TempDir temp;
  temp.WriteFile("hello.txt", "hello");
  auto service = NFS::CreateService(NFS::CreateServer(nullptr));
  ASSERT_TRUE(service->SetRoot(Common::FromUtf8(temp.PathString()), u"/share").IsSuccess());
  ASSERT_TRUE(service->Start().IsSuccess());
  EXPECT_NE(NFS::NSL::GetListeningPort(), 2029);

  nfs_context* nfs = nfs_init_context();
  nfs_set_timeout(nfs, 10000);
  nfs_url* parsed = nfs_parse_url_dir(nfs, "nfs://127.0.0.1/share?version=3&auto-traverse-mounts=0");
  ASSERT_NE(parsed, nullptr);
  EXPECT_EQ(nfs_mount(nfs, parsed->server, parsed->path), 0) << nfs_get_error(nfs);
  struct nfs_stat_64 st {};
  EXPECT_EQ(nfs_stat64(nfs, "/hello.txt", &st), 0) << nfs_get_error(nfs);
  EXPECT_EQ(st.nfs_size, 5u);
  nfs_destroy_url(parsed);
  nfs_destroy_context(nfs);
  service->Stop();
  close(blocker);
}

// The server listens on both families by default: libnfs over ::1.
TEST_F(LibnfsClientTest, WorksOverIPv6) {
  temp_.WriteFile("export/hello.txt", "over IPv6");
  nfs_context* nfs = nfs_init_context();
  ASSERT_NE(nfs, nullptr);
  nfs_set_timeout(nfs, 10000);
  const std::string url = "nfs://[::1]/share?version=3&nfsport=" + std::to_string(port_) +
                          "&mountport=" + std::to_string(port_) + "&auto-traverse-mounts=0";
  nfs_url* parsed = nfs_parse_url_dir(nfs, url.c_str());
  ASSERT_NE(parsed, nullptr) << nfs_get_error(nfs);
  // The URL sets the ports; its server keeps the brackets, which libnfs
  // does not resolve, so the literal goes in bare.
  ASSERT_EQ(nfs_mount(nfs, "::1", parsed->path), 0) << nfs_get_error(nfs);
  nfs_destroy_url(parsed);
  nfsfh* file = nullptr;
  ASSERT_EQ(nfs_creat(nfs, "/written.txt", 0644, &file), 0) << nfs_get_error(nfs);
  ASSERT_EQ(nfs_write(nfs, file, 5, const_cast<char*>("ipv6!")), 5) << nfs_get_error(nfs);
  nfs_close(nfs, file);
  struct nfs_stat_64 st {};
  ASSERT_EQ(nfs_stat64(nfs, "/hello.txt", &st), 0) << nfs_get_error(nfs);
  EXPECT_EQ(st.nfs_size, 9u);
  nfs_destroy_context(nfs);
  EXPECT_EQ(temp_.ReadFile("export/written.txt"), "ipv6!");
}

}  // namespace
