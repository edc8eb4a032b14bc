// What GetServerStatus reports follows what the server holds.
#include "server_lib/server/ServerStatus.h"

#include "tests/server_lib/ServerTestFixture.h"

namespace {

class ServerStatusTest : public TestSupport::ServerTest {
 protected:
  NFS::ServerStatus Status() {
    NFS::ServerStatus status;
    const Common::Error error = NFS::GetServerStatus(*server_, status);
    EXPECT_TRUE(error.IsSuccess()) << error.Describe();
    return status;
  }

  uint64_t Cached() {
    const NFS::ServerStatus status = Status();
    EXPECT_EQ(status.cachedObjects.size(), 1u);
    return status.cachedObjects.empty() ? 0 : status.cachedObjects[0].objects;
  }
};

class NoEvents : public EventObserver {
 public:
  Common::Error HandleEvent(const std::shared_ptr<NFS::Event>&) override { return Common::Error::Success(); }
};

TEST_F(ServerStatusTest, AServerWithoutRootHoldsNothing) {
  const auto bare = NFS::CreateServer(plugin_);
  NFS::ServerStatus status;
  ASSERT_TRUE(NFS::GetServerStatus(*bare, status).IsSuccess());
  EXPECT_TRUE(status.shareName.empty());
  EXPECT_TRUE(status.localPath.empty());
  EXPECT_TRUE(status.cachedObjects.empty());
  EXPECT_EQ(status.mountedClients, 0u);
  EXPECT_EQ(status.virtualFiles, 0u);
  EXPECT_EQ(status.observers, 0u);
  EXPECT_GT(status.descriptorLimit, 0u);
}

TEST_F(ServerStatusTest, TheExportAndItsCachedObjects) {
  NFS::ServerStatus status = Status();
  EXPECT_EQ(status.shareName, u"/share");
  EXPECT_EQ(Common::ToUtf8(status.localPath), ExportPath());
  ASSERT_EQ(status.cachedObjects.size(), 1u);
  EXPECT_EQ(status.cachedObjects[0].share, u"/share");
  EXPECT_EQ(status.cachedObjects[0].objects, 1u);  // the root

  EXPECT_EQ(status.mountedClients, 0u);

  // Mounts share the one cache; a client's mounts show as its one record.
  NFS::ObjectId root;
  ASSERT_TRUE(server_->Mount(u"/share", root).IsSuccess());
  ASSERT_TRUE(server_->Mount(u"/share", "127.0.0.1", root).IsSuccess());
  ASSERT_TRUE(server_->Mount(u"/share", "127.0.0.1", root).IsSuccess());
  EXPECT_EQ(Status().mountedClients, 1u);
  temp_.WriteFile("export/a.txt", "a");
  const NFS::ObjectId dir = MakeDir(root_, u"dir");
  Lookup(root_, u"a.txt");
  Create(dir, u"b.txt");
  EXPECT_EQ(Cached(), 4u);
  NFS::ObjectId missing;
  EXPECT_TRUE(server_->LookupObject(root_, u"missing", missing).IsFailure());
  EXPECT_EQ(Cached(), 4u);
  ASSERT_TRUE(server_->DeleteFile(dir, u"b.txt").IsSuccess());
  EXPECT_EQ(Cached(), 3u);
}

TEST_F(ServerStatusTest, VirtualFilesWithTheirSizes) {
  ASSERT_TRUE(server_->AddVirtualFile(u"/share/one.bin", 10, u"mem:one", {}).IsSuccess());
  ASSERT_TRUE(server_->AddVirtualFile(u"/share/dir/two.bin", 1u << 30, u"mem:two", {}).IsSuccess());
  NFS::ServerStatus status = Status();
  EXPECT_EQ(status.virtualFiles, 2u);
  EXPECT_EQ(status.virtualBytes, 10u + (1u << 30));
  ASSERT_TRUE(server_->DeleteVirtualFile(u"/share/dir/two.bin").IsSuccess());
  status = Status();
  EXPECT_EQ(status.virtualFiles, 1u);
  EXPECT_EQ(status.virtualBytes, 10u);
}

TEST_F(ServerStatusTest, ListingsAndObservers) {
  temp_.WriteFile("export/a.txt", "a");
  const NFS::ServerStatus before = Status();
  std::shared_ptr<NFS::DirEntriesEnumerator> listing;
  ASSERT_TRUE(server_->ReadDirectory(root_, 0, listing).IsSuccess());
  NFS::ServerStatus status = Status();
  EXPECT_EQ(status.keptEnumerators, before.keptEnumerators + 1);
  EXPECT_EQ(status.openListings, before.openListings + 1);
  EXPECT_EQ(status.openListingLimit, 64u);

  uint32_t first = 0;
  uint32_t second = 0;
  ASSERT_TRUE(server_->Register(std::make_shared<NoEvents>(), first).IsSuccess());
  ASSERT_TRUE(server_->Register(std::make_shared<NoEvents>(), second).IsSuccess());
  EXPECT_EQ(Status().observers, 2u);
  ASSERT_TRUE(server_->Unregister(first).IsSuccess());
  EXPECT_EQ(Status().observers, 1u);
}

}  // namespace
