// The caches hold at most their capacity of objects, and an id they let go
// is found again through the store of ids, by the same rules as a lookup.
#include "server_lib/server/ObjectStoreSetup.h"
#include "server_lib/server/ServerStatus.h"
#include "server_lib/store/ObjectStore.h"
#include "tests/server_lib/ServerTestFixture.h"

namespace {

constexpr size_t kCapacity = 64;

class BoundedCacheTest : public TestSupport::ServerTest {
 protected:
  void UseStore(bool withStore) {
    if (withStore) {
      const Common::Error opened = NFS::OpenObjectStore((temp_.Path() / "state").string(), store_);
      ASSERT_TRUE(opened.IsSuccess()) << opened.Describe();
    }
    ASSERT_TRUE(NFS::SetObjectStore(*server_, store_, kCapacity).IsSuccess());
  }

  NFS::ServerStatus Status() {
    NFS::ServerStatus status;
    EXPECT_TRUE(NFS::GetServerStatus(*server_, status).IsSuccess());
    return status;
  }

  bool Resolves(const NFS::ObjectId& id) {
    std::shared_ptr<NFS::AttributesAccessor> attributes;
    return server_->GetAttrs(id, attributes).IsSuccess();
  }

  // Folders d000.. of one file each, every id handed out.
  std::vector<NFS::ObjectId> MakeTree(int folders) {
    std::vector<NFS::ObjectId> ids;
    for (int i = 0; i < folders; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "d%03d", i);
      temp_.WriteFile(std::string("export/") + name + "/file", name);
      const NFS::ObjectId dir = Lookup(root_, Common::FromUtf8(name));
      ids.push_back(dir);
      ids.push_back(Lookup(dir, u"file"));
    }
    return ids;
  }

  std::shared_ptr<NFS::ObjectStore> store_;
};

TEST_F(BoundedCacheTest, MemoryStaysWithinTheCapacityAndLetsTheOldestGoFirst) {
  ASSERT_NO_FATAL_FAILURE(UseStore(false));
  const std::vector<NFS::ObjectId> ids = MakeTree(200);
  NFS::ServerStatus status = Status();
  ASSERT_EQ(status.cachedObjects.size(), 1u);
  EXPECT_LE(status.cachedObjects[0].objects, kCapacity);
  EXPECT_EQ(status.cache.capacity, kCapacity);
  EXPECT_GT(status.cache.evicted, 0u);
  // Without a store, what left the memory is stale; the newest is held,
  // and the root always.
  EXPECT_FALSE(Resolves(ids.front()));
  EXPECT_TRUE(Resolves(ids.back()));
  EXPECT_TRUE(Resolves(root_));
  EXPECT_GT(Status().cache.stale, 0u);
  EXPECT_FALSE(Status().hasStore);
}

TEST_F(BoundedCacheTest, IdsLetGoAreFoundAgainThroughTheStore) {
  ASSERT_NO_FATAL_FAILURE(UseStore(true));
  const std::vector<NFS::ObjectId> ids = MakeTree(200);
  for (const NFS::ObjectId& id : ids) EXPECT_TRUE(Resolves(id));
  const NFS::ServerStatus status = Status();
  EXPECT_GT(status.cache.resolved, 0u);
  EXPECT_EQ(status.cache.stale, 0u);
  EXPECT_LE(status.cachedObjects[0].objects, kCapacity + 8);
  // Data through a resolved handle.
  EXPECT_EQ(Read(ids[1], 0, 16), "d000");
  Write(ids[1], 4, "!");
  EXPECT_EQ(temp_.ReadFile("export/d000/file"), "d000!");
  store_->Flush();
  EXPECT_GE(store_->Count(), ids.size());
}

TEST_F(BoundedCacheTest, RemovedAndReplacedObjectsAreStaleAndForgotten) {
  ASSERT_NO_FATAL_FAILURE(UseStore(true));
  const std::vector<NFS::ObjectId> ids = MakeTree(100);
  // Removed through the server, and behind its back.
  ASSERT_TRUE(server_->DeleteFile(ids[0], u"file").IsSuccess());
  std::filesystem::remove(Local("d001/file"));
  // A file's path now a folder's.
  std::filesystem::remove(Local("d002/file"));
  std::filesystem::create_directory(Local("d002/file"));
  // Renamed: the old path is gone, the new one has a new id.
  ASSERT_TRUE(server_->Rename(root_, u"d003", u"moved").IsSuccess());
  EXPECT_FALSE(Resolves(ids[1]));
  EXPECT_FALSE(Resolves(ids[3]));
  EXPECT_FALSE(Resolves(ids[5]));
  EXPECT_FALSE(Resolves(ids[6]));
  EXPECT_FALSE(Resolves(ids[7]));
  EXPECT_TRUE(Resolves(ids[9]));
  // A made-up id of a path that exists was never handed out.
  EXPECT_FALSE(Resolves(NFS::MakeObjectId(NFS::kFileKind, u"/share/moved/file")));
  store_->Flush();
  NFS::StoredObject stored;
  EXPECT_FALSE(store_->Find(ids[1], stored));
  EXPECT_FALSE(store_->Find(ids[5], stored));
  EXPECT_TRUE(store_->Find(ids[9], stored));
  EXPECT_EQ(stored.path, u"/share/d004/file");
  EXPECT_EQ(stored.kind, NFS::kFileKind);
  EXPECT_EQ(stored.share, u"/share");
}

TEST_F(BoundedCacheTest, AListingInProgressKeepsItsFolder) {
  ASSERT_NO_FATAL_FAILURE(UseStore(false));
  for (int i = 0; i < 300; ++i) temp_.WriteFile("export/big/e" + std::to_string(i), "");
  const NFS::ObjectId big = Lookup(root_, u"big");
  std::shared_ptr<NFS::DirEntriesEnumerator> enumerator;
  uint64_t listing = 0;
  {
    auto lock = NFS::LockOperations(*server_);
    ASSERT_TRUE(server_->ReadDirectory(big, 0, enumerator).IsSuccess());
    listing = enumerator->GetId();
    // Part of the listing, every entry's id handed out as READDIRPLUS does.
    for (int i = 0; i < 100 && enumerator->IsValid(); ++i) {
      enumerator->GetEntryId();
      enumerator->Next();
    }
    enumerator.reset();
  }
  // Many more objects pass through the cache meanwhile.
  MakeTree(100);
  std::shared_ptr<NFS::DirEntriesEnumerator> resumed;
  ASSERT_TRUE(server_->ReadDirectory(big, listing, resumed).IsSuccess());
  EXPECT_EQ(resumed->GetId(), listing);
}

}  // namespace
