#include <gtest/gtest.h>

#include <fmt/format.h>

#include <filesystem>

#include "host/Logging.h"
#include "localfs/LocalFs.h"
#include "server_lib/core/ServerErrors.h"
#include "server_lib/local/LocalObjects.h"
#include "server_lib/overlay/CachedDirectory.h"
#include "server_lib/providers/ClientMounts.h"
#include "server_lib/providers/ObjectsProvider.h"
#include "server_lib/providers/SharesProvider.h"
#include "tests/support/TempDir.h"

namespace {

using NFS::ErrorCode::InvalidArgument;
using NFS::ErrorCode::ShareNotMounted;

uint32_t CodeOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const Common::Error& error) {
    return error.Code();
  }
  return 0;
}

class ProvidersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(temp_.Path() / "one");
    std::filesystem::create_directory(temp_.Path() / "two");
  }
  Common::WString Folder(const std::string& name) const { return Common::FromUtf8((temp_.Path() / name).string()); }
  std::vector<std::string> Traces() const { return log_.Texts(Common::kTrace, NFS::kLogChannel); }

  TestSupport::TempDir temp_;
  Common::ScopedLogCapture log_;
};

TEST_F(ProvidersTest, TheShareFolderIsOpenedOnceAndNeverByItsPathAgain) {
  temp_.WriteFile("one/mine.txt", "mine");
  temp_.WriteFile("two/secret", "secret");
  auto shares = NFS::CreateSharesProvider(u"/share", Folder("one"));
  EXPECT_EQ(Traces(), (std::vector<std::string>{"Opening share '/share' at '" + (temp_.Path() / "one").string() +
                                                "'"}));
  auto root = shares->GetRoot(u"/share");
  ASSERT_TRUE(root);
  EXPECT_EQ(root->GetPath(), u"/share");
  EXPECT_EQ(root->GetId(), NFS::MakeObjectId(NFS::kDirectoryKind, u"/share"));
  // Letter case makes another name, and only the share's own name finds it.
  EXPECT_EQ(CodeOf([&] { shares->GetRoot(u"/SHARE"); }), ShareNotMounted);

  // The path swapped for a link to another folder: the open folder is still
  // the one served, however often the root is asked for again.
  std::filesystem::rename(temp_.Path() / "one", temp_.Path() / "one-moved");
  std::filesystem::create_directory_symlink(temp_.Path() / "two", temp_.Path() / "one");
  for (int i = 0; i < 3; ++i) {
    auto again = shares->GetRoot(u"/share");
    EXPECT_EQ(again, root);
    EXPECT_FALSE(again->Lookup(u"secret"));
    EXPECT_TRUE(again->Lookup(u"mine.txt"));
  }
  root->CreateFile(u"new.txt");
  EXPECT_TRUE(temp_.Exists("one-moved/new.txt"));
  EXPECT_FALSE(temp_.Exists("two/new.txt"));

  // A folder that cannot be opened: the library's own error.
  EXPECT_EQ(CodeOf([&] { NFS::CreateSharesProvider(u"/other", Folder("absent")); }),
            LocalFs::kSystemError + ENOENT);

  auto stub = NFS::CreateStubSharesProvider();
  try {
    stub->GetRoot(u"/share");
    FAIL();
  } catch (const Common::Error& error) {
    EXPECT_EQ(error.Code(), InvalidArgument);
    EXPECT_EQ(error.Message(), u"No directories have been exported.");
  }
}

TEST_F(ProvidersTest, EachShareHasOneCacheHoweverOftenItsRootIsOpened) {
  auto root = NFS::CreateSharesProvider(u"/share", Folder("one"))->GetRoot(u"/share");
  auto objects = NFS::CreateObjectsProvider();
  log_.Clear();
  for (int i = 0; i < 3; ++i) objects->OpenRootDir(u"/share", root);
  EXPECT_EQ(Traces(), (std::vector<std::string>{
                          " AssocCache::AddObject(" + Common::ToUtf8(NFS::ObjectIdToString(root->GetId())) + ", " +
                              fmt::format("{}", fmt::ptr(root.get())) + ")",
                          "Create cache for share '/share'"}));
  const std::vector<NFS::CachedObjects> counts = objects->CountObjects();
  ASSERT_EQ(counts.size(), 1u);
  EXPECT_EQ(counts[0].share, u"/share");
  EXPECT_EQ(counts[0].objects, 1u);

  // The root comes back wrapped, so that its changes keep the cache current.
  auto found = objects->GetObject(root->GetId());
  ASSERT_TRUE(found);
  EXPECT_NE(dynamic_cast<NFS::CachedDirectory*>(found.get()), nullptr);
  EXPECT_EQ(found->GetPath(), u"/share");

  // Unknown ids: nothing found, nothing forgotten.
  const NFS::ObjectId unknown = NFS::MakeObjectId(NFS::kFileKind, u"/share/none");
  EXPECT_FALSE(objects->GetObject(unknown));
  EXPECT_FALSE(objects->ForgetObject(unknown));
  EXPECT_TRUE(objects->GetObject(root->GetId()));

  // The stub finds nothing and refuses nothing.
  auto stub = NFS::CreateStubObjectsProvider();
  stub->OpenRootDir(u"/share", root);
  EXPECT_FALSE(stub->GetObject(root->GetId()));
  EXPECT_TRUE(stub->CountObjects().empty());
}

TEST(ClientMountsTest, OneRecordPerAddressTheLeastRecentlySeenForgottenFirst) {
  auto mounts = NFS::CreateClientMounts(3);
  EXPECT_TRUE(mounts->Add("127.0.0.1"));
  for (int i = 0; i < 1000; ++i) EXPECT_FALSE(mounts->Add("127.0.0.1"));
  EXPECT_EQ(mounts->Count(), 1u);
  EXPECT_TRUE(mounts->Add("127.0.0.2"));
  EXPECT_TRUE(mounts->Add("::1"));
  // Seen again, the first address is the most recent: the second goes.
  EXPECT_FALSE(mounts->Add("127.0.0.1"));
  EXPECT_TRUE(mounts->Add("127.0.0.3"));
  EXPECT_EQ(mounts->Count(), 3u);
  EXPECT_FALSE(mounts->Remove("127.0.0.2"));

  // An address releases its own record only, once.
  EXPECT_FALSE(mounts->Remove("127.0.0.9"));
  EXPECT_TRUE(mounts->Remove("127.0.0.1"));
  EXPECT_FALSE(mounts->Remove("127.0.0.1"));
  EXPECT_EQ(mounts->Count(), 2u);
  EXPECT_TRUE(mounts->Remove("::1"));
  EXPECT_TRUE(mounts->Remove("127.0.0.3"));
  EXPECT_EQ(mounts->Count(), 0u);

  // A crowd of addresses fills the table to its bound and no further.
  auto bounded = NFS::CreateClientMounts();
  for (int i = 0; i < 10000; ++i) bounded->Add("10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256));
  EXPECT_EQ(bounded->Count(), NFS::kMostClientMounts);
  EXPECT_TRUE(bounded->Remove("10.0.39.15"));  // the last one seen
  EXPECT_FALSE(bounded->Remove("10.0.0.0"));   // long forgotten
}

}  // namespace
