#include <gtest/gtest.h>

#include <fmt/format.h>

#include <filesystem>

#include "host/Logging.h"
#include "localfs/LocalFs.h"
#include "server_lib/core/ServerErrors.h"
#include "server_lib/local/LocalObjects.h"
#include "server_lib/overlay/CachedDirectory.h"
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

TEST_F(ProvidersTest, SharesAreOpenedOnceAndCountedPerName) {
  auto shares = NFS::CreateSharesProvider();
  auto first = shares->Mount(u"/share", Folder("one"));
  auto second = shares->Mount(u"/share", Folder("two"));  // the new path is not looked at
  auto third = shares->Mount(u"/share", Folder("one"));
  EXPECT_EQ(first, second);
  EXPECT_EQ(first, third);
  EXPECT_EQ(first->GetPath(), u"/share");
  EXPECT_EQ(Traces(), (std::vector<std::string>{
                          "Opening new share '/share' at '" + (temp_.Path() / "one").string() + "'",
                          "Open share '/share' (1 mounts)", "Open share '/share' (2 mounts)",
                          "Open share '/share' (3 mounts)"}));

  // Letter case makes another share.
  auto upper = shares->Mount(u"/SHARE", Folder("two"));
  EXPECT_NE(upper, first);

  log_.Clear();
  shares->Unmount(u"/share");
  shares->Unmount(u"/share");
  shares->Unmount(u"/share");
  EXPECT_EQ(Traces(), (std::vector<std::string>{"Closing share '/share' (2 mounts left)",
                                                "Closing share '/share' (1 mounts left)",
                                                "Closing share '/share' (0 mounts left)"}));
  EXPECT_EQ(CodeOf([&] { shares->Unmount(u"/share"); }), ShareNotMounted);

  // Mounted again: a new root object with the same path and id.
  auto again = shares->Mount(u"/share", Folder("one"));
  EXPECT_NE(again, first);
  EXPECT_EQ(again->GetId(), first->GetId());

  // A folder that cannot be opened: the library's own error, nothing held.
  log_.Clear();
  const uint32_t missing = CodeOf([&] { shares->Mount(u"/other", Folder("absent")); });
  EXPECT_EQ(missing, LocalFs::kSystemError + ENOENT);
  EXPECT_TRUE(Traces().empty());
  EXPECT_EQ(CodeOf([&] { shares->Unmount(u"/other"); }), ShareNotMounted);

  auto stub = NFS::CreateStubSharesProvider();
  try {
    stub->Mount(u"/share", Folder("one"));
    FAIL();
  } catch (const Common::Error& error) {
    EXPECT_EQ(error.Code(), InvalidArgument);
    EXPECT_EQ(error.Message(), u"No directories have been exported.");
  }
  EXPECT_EQ(CodeOf([&] { stub->Unmount(u"/share"); }), InvalidArgument);
}

TEST_F(ProvidersTest, ObjectCachesLiveAsLongAsTheirShareIsMounted) {
  auto shares = NFS::CreateSharesProvider();
  auto objects = NFS::CreateObjectsProvider();
  auto root = shares->Mount(u"/share", Folder("one"));
  objects->OpenRootDir(u"/share", root);
  objects->OpenRootDir(u"/share", shares->Mount(u"/share", Folder("one")));
  EXPECT_EQ(Traces(), (std::vector<std::string>{
                          "Opening new share '/share' at '" + (temp_.Path() / "one").string() + "'",
                          "Open share '/share' (1 mounts)",
                          " AssocCache::AddObject(" + Common::ToUtf8(NFS::ObjectIdToString(root->GetId())) + ", " +
                              fmt::format("{}", fmt::ptr(root.get())) + ")",
                          "Create cache for share '/share'", "Open share '/share' (2 mounts)",
                          "Reuse cache for share '/share'"}));

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

  log_.Clear();
  objects->CloseRootDir(u"/share");
  EXPECT_TRUE(objects->GetObject(root->GetId()));
  EXPECT_TRUE(Traces().empty());
  objects->CloseRootDir(u"/share");
  EXPECT_EQ(Traces(), (std::vector<std::string>{"Delete cache for share '/share'"}));
  EXPECT_FALSE(objects->GetObject(root->GetId()));
  EXPECT_EQ(CodeOf([&] { objects->CloseRootDir(u"/share"); }), ShareNotMounted);

  // The stub finds nothing and refuses nothing.
  auto stub = NFS::CreateStubObjectsProvider();
  stub->OpenRootDir(u"/share", root);
  EXPECT_FALSE(stub->GetObject(root->GetId()));
  stub->CloseRootDir(u"/share");
}

}  // namespace
