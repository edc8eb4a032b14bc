#include <gtest/gtest.h>

#include <filesystem>

#include "tests/server_lib/ServerTestFixture.h"

namespace {

size_t OpenDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

class ScaleTest : public TestSupport::ServerTest {};

// The caches keep every object a client has seen; files must not keep a
// descriptor each for that.
TEST_F(ScaleTest, CachedFilesHoldNoDescriptors) {
  constexpr int kDirectories = 20;
  constexpr int kFilesPerDirectory = 250;
  for (int d = 0; d < kDirectories; ++d) {
    const std::string dir = "export/d" + std::to_string(d);
    std::filesystem::create_directory(temp_.Path() / dir);
    for (int f = 0; f < kFilesPerDirectory; ++f) temp_.WriteFile(dir + "/f" + std::to_string(f), "x");
  }
  const size_t before = OpenDescriptors();
  for (int d = 0; d < kDirectories; ++d) {
    const NFS::ObjectId dir = Lookup(root_, Common::FromUtf8("d" + std::to_string(d)));
    for (int f = 0; f < kFilesPerDirectory; ++f) {
      const NFS::ObjectId file = Lookup(dir, Common::FromUtf8("f" + std::to_string(f)));
      std::shared_ptr<NFS::AttributesAccessor> attributes;
      ASSERT_TRUE(server_->GetAttrs(file, attributes).IsSuccess());
    }
  }
  // One per cached directory, and a few for listings; none per file.
  EXPECT_LE(OpenDescriptors(), before + kDirectories + 8);

  // Reading to the end closes what a read opened.
  const NFS::ObjectId last = Lookup(Lookup(root_, u"d0"), u"f0");
  EXPECT_EQ(Read(last, 0, 10), "x");
  EXPECT_LE(OpenDescriptors(), before + kDirectories + 8);
}

}  // namespace
