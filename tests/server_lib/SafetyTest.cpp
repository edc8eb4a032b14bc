// What a hostile or careless client must never achieve through the server
// core: reaching outside the export, losing data a request did not ask to
// destroy, or planting set-id entries.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tests/server_lib/ServerTestFixture.h"
#include "tests/support/Tmpfs.h"

namespace {

namespace Code = NFS::ErrorCode;
using Chain = std::vector<uint32_t>;

class Recorder : public EventObserver {
 public:
  Common::Error HandleEvent(const std::shared_ptr<NFS::Event>& event) override {
    if (auto file = std::dynamic_pointer_cast<NFS::DeleteFileEvent>(event)) deleted.push_back(file->GetPath());
    return Common::Error();
  }
  std::vector<std::u16string> deleted;
};

class SafetyTest : public TestSupport::ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    temp_.WriteFile("beside.txt", "beside the export");
    recorder_ = std::make_shared<Recorder>();
    uint32_t id = 0;
    ASSERT_TRUE(server_->Register(recorder_, id).IsSuccess());
  }

  NFS::ObjectId Export(const std::string& localPath, const std::u16string& shareName) {
    const Common::Error set = server_->SetRoot(Common::FromUtf8(localPath), shareName);
    EXPECT_TRUE(set.IsSuccess()) << set.Describe();
    NFS::ObjectId root;
    const Common::Error mounted = server_->Mount(shareName, root);
    EXPECT_TRUE(mounted.IsSuccess()) << mounted.Describe();
    return root;
  }

  mode_t ModeOf(const std::string& path) const {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_mode;
  }

  std::shared_ptr<Recorder> recorder_;
};

TEST_F(SafetyTest, TheShareRootHasNoParentWhateverItsName) {
  for (const std::u16string share : {u"/share", u"/exports/a", u"/a/b/c", u"plain"}) {
    const NFS::ObjectId root = Export(ExportPath(), share);
    NFS::ObjectId out;
    EXPECT_EQ(Codes(server_->LookupObject(root, u"..", out)), (Chain{Code::LookupFailed, Code::NotFound}));
    // "." is the root itself, and has no parent either.
    const NFS::ObjectId self = Lookup(root, u".");
    EXPECT_EQ(self, root);
    EXPECT_EQ(Codes(server_->LookupObject(self, u"..", out)).back(), Code::NotFound);

    // From below, ".." climbs back to the root and stops there.
    const NFS::ObjectId sub = MakeDir(root, u"sub");
    const NFS::ObjectId deeper = MakeDir(sub, u"deeper");
    EXPECT_EQ(Lookup(deeper, u".."), sub);
    const NFS::ObjectId up = Lookup(sub, u"..");
    EXPECT_EQ(up, root);
    EXPECT_EQ(Codes(server_->LookupObject(up, u"..", out)).back(), Code::NotFound);
    EXPECT_EQ(Codes(server_->LookupObject(Lookup(Lookup(deeper, u".."), u".."), u"..", out)).back(),
              Code::NotFound);

    // The nested name works end to end.
    const NFS::ObjectId file = Create(sub, u"f.txt");
    Write(file, 0, "nested");
    EXPECT_EQ(temp_.ReadFile("export/sub/f.txt"), "nested");
    const auto entries = List(sub);
    ASSERT_EQ(entries.size(), 2u);
    ASSERT_TRUE(server_->DeleteFile(sub, u"f.txt").IsSuccess());
    ASSERT_TRUE(server_->DeleteDir(sub, u"deeper").IsSuccess());
    ASSERT_TRUE(server_->DeleteDir(root, u"sub").IsSuccess());
  }
  EXPECT_EQ(temp_.ReadFile("beside.txt"), "beside the export");
}

TEST_F(SafetyTest, RenameDestroysNothingUnlessTheMoveHappens) {
  temp_.WriteFile("export/keep.txt", "keep");
  temp_.WriteFile("export/other.txt", "other");
  std::filesystem::create_directory(Local("folder"));
  temp_.WriteFile("export/folder/inner.txt", "inner");

  // Onto itself: nothing changes, nothing is announced.
  ASSERT_TRUE(server_->Rename(root_, u"keep.txt", u"keep.txt").IsSuccess());
  EXPECT_EQ(temp_.ReadFile("export/keep.txt"), "keep");
  EXPECT_TRUE(recorder_->deleted.empty());

  // From a missing name: the target stays.
  EXPECT_EQ(Codes(server_->Rename(root_, u"missing", u"keep.txt")), (Chain{Code::RenameFailed, Code::NotFound}));
  EXPECT_EQ(temp_.ReadFile("export/keep.txt"), "keep");

  // Onto a folder, or a folder onto a file: refused, both names as they were.
  EXPECT_EQ(Codes(server_->Rename(root_, u"keep.txt", u"folder")), (Chain{Code::RenameFailed, Code::AlreadyExists}));
  EXPECT_EQ(Codes(server_->Rename(root_, u"folder", u"keep.txt")), (Chain{Code::RenameFailed, Code::AlreadyExists}));
  EXPECT_EQ(temp_.ReadFile("export/keep.txt"), "keep");
  EXPECT_EQ(temp_.ReadFile("export/folder/inner.txt"), "inner");
  EXPECT_TRUE(recorder_->deleted.empty());

  // Onto an existing file: the move replaces it, and the replaced file is
  // announced. The replaced file's cached object (with its open file) goes:
  // nothing reads the old content through it any more.
  const NFS::ObjectId target = Lookup(root_, u"other.txt");
  EXPECT_EQ(Read(target, 0, 2), "ot");
  ASSERT_TRUE(server_->Rename(root_, u"keep.txt", u"other.txt").IsSuccess());
  EXPECT_FALSE(temp_.Exists("export/keep.txt"));
  EXPECT_EQ(temp_.ReadFile("export/other.txt"), "keep");
  EXPECT_EQ(recorder_->deleted, std::vector<std::u16string>{u"/share/other.txt"});
  uint8_t byte = 0;
  uint32_t count = 0;
  EXPECT_EQ(Codes(server_->ReadData(target, 2, 1, &byte, count)), (Chain{Code::ReadFailed, Code::ObjectNotFound}));
  EXPECT_EQ(Read(Lookup(root_, u"other.txt"), 0, 100), "keep");
}

TEST_F(SafetyTest, RenameOntoAVirtualFileReplacesItOnlyByAMove) {
  plugin_->SetContent("v", "virtual");
  ASSERT_TRUE(server_->AddVirtualFile(u"/share/v.txt", 7, u"mem:v", {}).IsSuccess());
  EXPECT_EQ(Codes(server_->Rename(root_, u"missing", u"v.txt")).back(), Code::NotFound);
  EXPECT_EQ(Read(Lookup(root_, u"v.txt"), 0, 100), "virtual");

  temp_.WriteFile("export/local.txt", "local");
  ASSERT_TRUE(server_->Rename(root_, u"local.txt", u"v.txt").IsSuccess());
  EXPECT_EQ(temp_.ReadFile("export/v.txt"), "local");
  EXPECT_EQ(Read(Lookup(root_, u"v.txt"), 0, 100), "local");
  EXPECT_EQ(List(root_).size(), 1u);
  EXPECT_EQ(recorder_->deleted, std::vector<std::u16string>{u"/share/v.txt"});
}

TEST_F(SafetyTest, NoSetIdOrStickyBitsAndTheRootChangesItself) {
  const NFS::ObjectId file = Create(root_, u"prog");
  std::shared_ptr<NFS::AttributesModifier> modifier;
  ASSERT_TRUE(server_->SetAttrs(file, modifier).IsSuccess());
  modifier->SetUnixPermissions(06755);
  EXPECT_EQ(ModeOf(Local("prog")) & 07777, 0755u);
  const NFS::ObjectId dir = MakeDir(root_, u"dir");
  ASSERT_TRUE(server_->SetAttrs(dir, modifier).IsSuccess());
  modifier->SetUnixPermissions(01777);
  EXPECT_EQ(ModeOf(Local("dir")) & 07777, 0777u);

  // Exported through a link and through a path ending in "..": the export
  // itself changes, never the link or the folder that holds the export.
  ASSERT_EQ(symlink(ExportPath().c_str(), (temp_.PathString() + "/link").c_str()), 0);
  const mode_t holder = ModeOf(temp_.PathString()) & 07777;
  int step = 0;
  for (const std::string& path : {temp_.PathString() + "/link", Local("dir") + "/..", ExportPath() + "/."}) {
    const mode_t wanted = step++ % 2 == 0 ? 0711 : 0750;
    const NFS::ObjectId root = Export(path, u"/share" + std::u16string(1, u'0' + static_cast<char16_t>(step)));
    ASSERT_TRUE(server_->SetAttrs(root, modifier).IsSuccess());
    modifier->SetUnixPermissions(wanted);
    modifier->Truncate(0);  // a folder has no size to change
    EXPECT_EQ(ModeOf(ExportPath()) & 07777, wanted) << path;
    EXPECT_TRUE(S_ISLNK(ModeOf(temp_.PathString() + "/link"))) << path;
    EXPECT_EQ(ModeOf(temp_.PathString()) & 07777, holder) << path;
    EXPECT_EQ(ModeOf(Local("dir")) & 07777, 0777u) << path;
  }
  EXPECT_EQ(temp_.ReadFile("beside.txt"), "beside the export");
}

TEST_F(SafetyTest, MountedFileSystemsInsideAreListedButNotEntered) {
  std::filesystem::create_directory(Local("mnt"));
  const TestSupport::ScopedTmpfs mounted(Local("mnt"));
  if (mounted.Failed()) GTEST_SKIP() << mounted.Why();
  temp_.WriteFile("export/mnt/secret.txt", "another file system");

  NFS::ObjectId out;
  EXPECT_EQ(Codes(server_->LookupObject(root_, u"mnt", out)), (Chain{Code::LookupFailed, Code::NotFound}));
  const auto lock = NFS::LockOperations(*server_);
  std::shared_ptr<NFS::DirEntriesEnumerator> enumerator;
  ASSERT_TRUE(server_->ReadDirectory(root_, 0, enumerator).IsSuccess());
  ASSERT_TRUE(enumerator->IsValid());
  EXPECT_EQ(enumerator->GetName(), u"mnt");
  EXPECT_EQ(enumerator->GetAttributes()->GetType(), NFS::ObjectTypeCode::MountPoint);
}

}  // namespace
