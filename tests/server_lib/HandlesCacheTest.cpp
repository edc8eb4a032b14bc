#include <gtest/gtest.h>

#include <vector>

#include "host/Logging.h"
#include "server_lib/cache/DispatchedHandlesCache.h"
#include "server_lib/cache/MRUHandlesCache.h"
#include "server_lib/core/ServerErrors.h"

namespace {

// An object known only by its path, enough for a cache to store and visit.
class PathObject : public NFS::FileSystemObject {
 public:
  PathObject(NFS::ObjectKind kind, std::u16string path) : path_(std::move(path)), id_(NFS::MakeObjectId(kind, path_)) {}
  std::u16string GetPath() override { return path_; }
  NFS::ObjectId GetId() override { return id_; }
  std::shared_ptr<NFS::AttributesAccessor> GetAttributes() override { return nullptr; }
  std::shared_ptr<NFS::AttributesModifier> GetAttributesModifier() override { return nullptr; }

 private:
  std::u16string path_;
  NFS::ObjectId id_;
};

std::shared_ptr<NFS::FileSystemObject> File(const char16_t* path) {
  return std::make_shared<PathObject>(NFS::kFileKind, path);
}
std::shared_ptr<NFS::FileSystemObject> Dir(const char16_t* path) {
  return std::make_shared<PathObject>(NFS::kDirectoryKind, path);
}

class Paths : public NFS::HandlesCache::Visitor {
 public:
  void VisitObject(const std::shared_ptr<NFS::FileSystemObject>& object) override {
    paths.push_back(object->GetPath());
  }
  std::vector<std::u16string> paths;
};

std::vector<std::u16string> Order(NFS::HandlesCache& cache) {
  Paths visitor;
  cache.Visit(visitor);
  return visitor.paths;
}

using Order_t = std::vector<std::u16string>;

TEST(MRUHandlesCacheTest, FoundEntriesSwapWithTheFront) {
  NFS::MRUHandlesCache cache;
  auto f1 = File(u"/s/f1"), f2 = File(u"/s/f2"), f3 = File(u"/s/f3");
  cache.AddObject(f1);
  cache.AddObject(f2);
  cache.AddObject(f3);
  EXPECT_EQ(Order(cache), (Order_t{u"/s/f3", u"/s/f2", u"/s/f1"}));

  EXPECT_EQ(cache.GetObject(f1->GetId()), f1);
  EXPECT_EQ(Order(cache), (Order_t{u"/s/f1", u"/s/f2", u"/s/f3"}));
  EXPECT_EQ(cache.GetObject(f2->GetId()), f2);
  EXPECT_EQ(Order(cache), (Order_t{u"/s/f2", u"/s/f1", u"/s/f3"}));

  // Deleting a non-front entry removes exactly it, after its swap.
  EXPECT_EQ(cache.DelObject(f3->GetId()), f3);
  EXPECT_EQ(Order(cache), (Order_t{u"/s/f1", u"/s/f2"}));
  EXPECT_EQ(cache.Size(), 2u);
  EXPECT_FALSE(cache.DelObject(f3->GetId()));
  // The index still follows the entries after all that swapping.
  EXPECT_EQ(cache.GetObject(f2->GetId()), f2);
  EXPECT_EQ(cache.GetObject(f1->GetId()), f1);
}

TEST(MRUHandlesCacheTest, AddingTwiceKeepsOneEntryAndTracesOnce) {
  Common::ScopedLogCapture log;
  NFS::MRUHandlesCache cache;
  auto f1 = File(u"/s/f1"), f2 = File(u"/s/f2");
  cache.AddObject(f1);
  cache.AddObject(f2);
  cache.AddObject(f1);
  EXPECT_EQ(cache.Size(), 2u);
  EXPECT_EQ(Order(cache), (Order_t{u"/s/f1", u"/s/f2"}));
  int adds = 0;
  for (const auto& text : log.Texts(Common::kTrace, NFS::kLogChannel)) {
    if (text.rfind(" MRUCache::AddObject(" + Common::ToUtf8(NFS::ObjectIdToString(f1->GetId())), 0) == 0) ++adds;
  }
  EXPECT_EQ(adds, 1);
}

TEST(DispatchedHandlesCacheTest, KindsGoApartAndFirstObjectStays) {
  Common::ScopedLogCapture log;
  auto cache = NFS::CreateHandlesCache();
  auto dir = Dir(u"/s/x");
  auto file = File(u"/s/x");
  cache->AddObject(dir);
  cache->AddObject(file);
  EXPECT_EQ(cache->GetObject(dir->GetId()), dir);
  EXPECT_EQ(cache->GetObject(file->GetId()), file);
  EXPECT_EQ(Order(*cache), (Order_t{u"/s/x", u"/s/x"}));

  // A second object with a known directory id leaves the first in place, silently.
  log.Clear();
  cache->AddObject(Dir(u"/s/x"));
  EXPECT_EQ(cache->GetObject(dir->GetId()), dir);
  EXPECT_TRUE(log.Lines().empty());

  // Ids of the wrong length are directory-side lookups that find nothing.
  const NFS::ObjectId fileId = file->GetId();
  const NFS::ObjectId shortId(fileId.begin(), fileId.end() - 1);
  EXPECT_FALSE(cache->GetObject(shortId));
  EXPECT_FALSE(cache->DelObject(shortId));
  EXPECT_EQ(cache->DelObject(dir->GetId()), dir);
  EXPECT_FALSE(cache->GetObject(dir->GetId()));
  EXPECT_EQ(cache->GetObject(file->GetId()), file);
}

}  // namespace
