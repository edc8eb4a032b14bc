// Requests a hostile client would send, over loopback RPC to a share with a
// nested name: none may reach outside the export, destroy data it did not
// ask to destroy, or plant set-id programs.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>

#include "tests/service_lib/WireFixture.h"
#include "tests/support/Process.h"

namespace {

using TestSupport::Bytes_t;

class HostileClientTest : public TestSupport::WireClientTest {
 protected:
  void SetUp() override {
    temp_.WriteFile("beside.txt", "beside the export");
    WireClientTest::SetUp();
  }
  std::u16string ShareName() const override { return u"/exports/a"; }

  mode_t ModeOf(const std::string& relative) const {
    struct stat st {};
    EXPECT_EQ(lstat(Local(relative).c_str(), &st), 0) << relative;
    return st.st_mode & 07777;
  }
};

TEST_F(HostileClientTest, NoParentAboveTheNestedShareRoot) {
  Bytes_t root;
  ASSERT_EQ(Mnt("/exports/a", &root), MNT3_OK);
  EXPECT_EQ(root, root_);
  Bytes_t found;
  EXPECT_EQ(Lookup(root, "..", &found), NFS3ERR_NOENT);
  EXPECT_EQ(Lookup(root, "beside.txt"), NFS3ERR_NOENT);
  EXPECT_EQ(Lookup(root, "../beside.txt"), NFS3ERR_NOENT);
  EXPECT_EQ(Lookup(root, ".", &found), NFS3_OK);
  EXPECT_EQ(found, root);
  EXPECT_EQ(Lookup(found, ".."), NFS3ERR_NOENT);

  // The nested name works end to end: walk, create, list, climb back.
  Bytes_t sub;
  ASSERT_EQ(MkDir(root, "sub", &sub), NFS3_OK);
  Bytes_t file;
  ASSERT_EQ(Create(sub, "f.txt", GUARDED, &file), NFS3_OK);
  EXPECT_EQ(Write(file, 0, "nested", 6, FILE_SYNC).count, 6u);
  EXPECT_EQ(temp_.ReadFile("export/sub/f.txt"), "nested");
  const Listing listing = ReadDirPlus(sub, 0, 0);
  EXPECT_EQ(listing.names, std::vector<std::string>{"f.txt"});
  ASSERT_EQ(Lookup(sub, "..", &found), NFS3_OK);
  EXPECT_EQ(found, root);
  EXPECT_EQ(Lookup(found, ".."), NFS3ERR_NOENT);
  EXPECT_EQ(temp_.ReadFile("beside.txt"), "beside the export");
}

TEST_F(HostileClientTest, RenameKeepsEveryFileUnlessItMoves) {
  temp_.WriteFile("export/keep.txt", "keep");
  temp_.WriteFile("export/old.txt", "old");
  std::filesystem::create_directory(Local("folder"));
  temp_.WriteFile("export/folder/inner.txt", "inner");

  EXPECT_EQ(Rename(root_, "keep.txt", root_, "keep.txt"), NFS3_OK);
  EXPECT_EQ(temp_.ReadFile("export/keep.txt"), "keep");
  EXPECT_EQ(Rename(root_, "missing", root_, "keep.txt"), NFS3ERR_NOENT);
  EXPECT_EQ(temp_.ReadFile("export/keep.txt"), "keep");
  EXPECT_EQ(Rename(root_, "keep.txt", root_, "folder"), NFS3ERR_EXIST);
  EXPECT_EQ(temp_.ReadFile("export/keep.txt"), "keep");
  EXPECT_EQ(temp_.ReadFile("export/folder/inner.txt"), "inner");
  EXPECT_EQ(Rename(root_, "keep.txt", root_, "old.txt"), NFS3_OK);
  EXPECT_FALSE(temp_.Exists("export/keep.txt"));
  EXPECT_EQ(temp_.ReadFile("export/old.txt"), "keep");
}

TEST_F(HostileClientTest, SetAttrNeverPlantsSetIdBits) {
  Bytes_t file;
  ASSERT_EQ(Create(root_, "prog", GUARDED, &file), NFS3_OK);
  EXPECT_EQ(SetMode(file, 06755), NFS3_OK);
  EXPECT_EQ(ModeOf("prog"), 0755u);
  Bytes_t dir;
  ASSERT_EQ(MkDir(root_, "tmp", &dir), NFS3_OK);
  EXPECT_EQ(SetMode(dir, 01777), NFS3_OK);
  EXPECT_EQ(ModeOf("tmp"), 0777u);
  // The root is the export folder itself, not an entry of its parent.
  EXPECT_EQ(SetMode(root_, 02750), NFS3_OK);
  EXPECT_EQ(ModeOf(""), 0750u);
  EXPECT_EQ(SetMode(root_, 0755), NFS3_OK);
}

// First pages of one folder, never continued: each leaves an enumerator
// behind. Open descriptors and memory stay bounded however many come; the
// oldest verifiers become unknown (a client restarts its listing), and a
// client that lists normally sees no difference.
TEST_F(HostileClientTest, AbandonedListingsPinNothing) {
  std::filesystem::create_directory(Local("big"));
  for (int i = 0; i < 300; ++i) temp_.WriteFile("export/big/entry-" + std::to_string(i), "");
  Bytes_t big;
  ASSERT_EQ(Lookup(root_, "big", &big), NFS3_OK);
  const Listing oldest = ReadDirPlus(big, 0, 0, 1024);
  ASSERT_EQ(oldest.status, NFS3_OK);
  ASSERT_FALSE(oldest.eof);
  for (int i = 0; i < 400; ++i) ASSERT_EQ(ReadDirPlus(big, 0, 0, 1024).status, NFS3_OK);
  const size_t descriptors = TestSupport::OpenDescriptors();
  const size_t resident = TestSupport::ResidentBytes();

  const int count = TestSupport::FromEnvironment("NFS_ABANDONED_LISTINGS", 5000);
  Listing last;
  for (int i = 0; i < count; ++i) {
    last = ReadDirPlus(big, 0, 0, 1024);
    ASSERT_EQ(last.status, NFS3_OK) << i;
  }
  EXPECT_LE(TestSupport::OpenDescriptors(), descriptors + 8);
  if (!TestSupport::kSanitized) {
    EXPECT_LT(TestSupport::ResidentBytes(), resident + (16u << 20));
  }

  EXPECT_EQ(ReadDirPlus(big, oldest.cookies.back(), oldest.verifier, 1024).status, NFS3ERR_BAD_COOKIE);
  // The latest one goes on to the end, every entry once.
  std::set<std::string> names(last.names.begin(), last.names.end());
  while (!last.eof) {
    last = ReadDirPlus(big, last.cookies.back(), last.verifier, 1024);
    ASSERT_EQ(last.status, NFS3_OK);
    names.insert(last.names.begin(), last.names.end());
  }
  EXPECT_EQ(names.size(), 300u);
}

}  // namespace
