#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "localfs/LocalFs.h"
#include "tests/server_lib/ServerTestFixture.h"
#include "tests/support/Process.h"

namespace {

class ScaleTest : public TestSupport::ServerTest {
 protected:
  void TearDown() override { LocalFs::SetDescriptorLimit(LocalFs::kDefaultDescriptorLimit); }
};

// The caches keep every object a client has seen for the whole mount; the
// descriptors they need stay bounded however large the tree is. scripts/stress
// walks 100 000 files in 10 000 folders; scripts/test a small tree under a
// small descriptor limit, which exercises the same path.
TEST_F(ScaleTest, AWalkOfTheWholeTreeKeepsDescriptorsBounded) {
  const int directories = TestSupport::FromEnvironment("NFS_SCALE_DIRS", 300);
  const int filesPerDirectory = TestSupport::FromEnvironment("NFS_SCALE_FILES_PER_DIR", 10);
  const size_t limit = static_cast<size_t>(TestSupport::FromEnvironment("NFS_SCALE_DESCRIPTORS", 64));
  LocalFs::SetDescriptorLimit(limit);
  for (int d = 0; d < directories; ++d) {
    const std::string dir = "export/d" + std::to_string(d);
    std::filesystem::create_directory(temp_.Path() / dir);
    for (int f = 0; f < filesPerDirectory; ++f) temp_.WriteFile(dir + "/f" + std::to_string(f), "x");
  }
  const size_t before = TestSupport::OpenDescriptors();
  std::vector<NFS::ObjectId> dirs;
  for (int d = 0; d < directories; ++d) {
    const NFS::ObjectId dir = Lookup(root_, Common::FromUtf8("d" + std::to_string(d)));
    dirs.push_back(dir);
    for (int f = 0; f < filesPerDirectory; ++f) {
      const NFS::ObjectId file = Lookup(dir, Common::FromUtf8("f" + std::to_string(f)));
      std::shared_ptr<NFS::AttributesAccessor> attributes;
      ASSERT_TRUE(server_->GetAttrs(file, attributes).IsSuccess());
    }
    // A listing of each folder, read to its end.
    EXPECT_EQ(List(dir).size(), static_cast<size_t>(filesPerDirectory));
  }
  EXPECT_LE(TestSupport::OpenDescriptors(), before + limit + 8);

  // Every id handed out still works, through reopened descriptors: read,
  // write and create in folders long pushed out of the pool.
  for (int d = 0; d < directories; d += std::max(1, directories / 50)) {
    const NFS::ObjectId file = Lookup(dirs[static_cast<size_t>(d)], u"f0");
    EXPECT_EQ(Read(file, 0, 10), "x");
    Write(file, 1, "y");
    Create(dirs[static_cast<size_t>(d)], u"new");
    EXPECT_EQ(temp_.ReadFile("export/d" + std::to_string(d) + "/f0"), "xy");
    EXPECT_TRUE(temp_.Exists("export/d" + std::to_string(d) + "/new"));
  }
  EXPECT_LE(TestSupport::OpenDescriptors(), before + limit + 8);
}

}  // namespace
