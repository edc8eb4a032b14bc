#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "localfs/LocalFs.h"
#include "tests/support/TempDir.h"

namespace {

using LocalFs::FileAccess;
using LocalFs::LocalDirectoryHandle;

// "inside" is opened as the folder under test; "outside" beside it must stay
// untouched whatever names are thrown at "inside".
class LocalFsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(temp_.Path() / "inside");
    std::filesystem::create_directory(temp_.Path() / "outside");
    temp_.WriteFile("outside/secret.txt", "secret");
    ASSERT_EQ(chmod((temp_.Path() / "outside/secret.txt").c_str(), 0640), 0);
    Common::Error error;
    dir_ = LocalFs::CreateLocalDirectoryHandle(Inside(), &error);
    ASSERT_TRUE(dir_) << error.Describe();
  }

  std::string Inside(const std::string& name = "") const {
    return (temp_.Path() / "inside").string() + (name.empty() ? "" : "/" + name);
  }
  std::string Outside(const std::string& name = "") const {
    return (temp_.Path() / "outside").string() + (name.empty() ? "" : "/" + name);
  }
  std::set<std::string> OutsideEntries() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(Outside())) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }
  mode_t ModeOf(const std::string& path) const {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_mode;
  }

  TestSupport::TempDir temp_;
  std::unique_ptr<LocalDirectoryHandle> dir_;
};

TEST(NameRuleTest, AcceptsSingleEntryNamesOnly) {
  EXPECT_TRUE(LocalFs::IsValidEntryName(u"a.txt"));
  EXPECT_TRUE(LocalFs::IsValidEntryName(u"..."));
  EXPECT_TRUE(LocalFs::IsValidEntryName(std::u16string(255, u'a')));
  EXPECT_TRUE(LocalFs::IsValidEntryName(u"caf\u00e9 \u4e2d"));
  for (const std::u16string& bad :
       {std::u16string(), std::u16string(u"."), std::u16string(u".."), std::u16string(256, u'a'),
        std::u16string(u"a/b"), std::u16string(u"a\\b"), std::u16string(u"a:b"), std::u16string(u"a*"),
        std::u16string(u"a?"), std::u16string(u"\"a\""), std::u16string(u"<a>"), std::u16string(u"a|b"),
        std::u16string(u"a\x01"), std::u16string(u"tab\t"), std::u16string(1, u'\0')}) {
    EXPECT_FALSE(LocalFs::IsValidEntryName(bad)) << Common::ToUtf8(bad);
  }
}

TEST_F(LocalFsTest, HostileNamesReachNothingOutside) {
  const std::u16string lone(1, char16_t(0xD800));
  temp_.WriteFile("inside/keep.txt", "keep");
  for (const std::u16string& name :
       {std::u16string(u".."), std::u16string(u"../x"), std::u16string(u"a/../../x"),
        std::u16string(u"/tmp/nfs-localfs-escape"), std::u16string(u"../outside/secret.txt"),
        std::u16string(256, u'a'), std::u16string(u"a\x01"), lone,
        // 255 code units, but more than 255 bytes once encoded
        std::u16string(200, u'\u00e9')}) {
    const std::string shown = Common::ToUtf8(name);
    EXPECT_FALSE(dir_->GetEntry(name)) << shown;
    EXPECT_FALSE(dir_->CreateFile(name)) << shown;
    EXPECT_FALSE(dir_->OpenFile(name, FileAccess::ReadWrite)) << shown;
    EXPECT_FALSE(dir_->CreateDirectory(name)) << shown;
    EXPECT_FALSE(dir_->DeleteFile(name)) << shown;
    EXPECT_FALSE(dir_->RemoveDirectory(name)) << shown;
    EXPECT_FALSE(dir_->Rename(u"keep.txt", name)) << shown;
    EXPECT_FALSE(dir_->Rename(name, u"keep.txt")) << shown;
    EXPECT_FALSE(dir_->SetUnixPermissions(name, 0777)) << shown;
    EXPECT_FALSE(dir_->SetUnixOwner(name, 0, 0)) << shown;
    EXPECT_FALSE(dir_->SetDosAttributes(name, LocalFs::kAttributeReadOnly)) << shown;
    if (name != u"..") {
      EXPECT_FALSE(dir_->OpenDirectory(name)) << shown;
    }
    EXPECT_EQ(dir_->TakeStatus().Code(), LocalFs::kInvalidName) << shown;
  }
  EXPECT_EQ(temp_.ReadFile("inside/keep.txt"), "keep");
  EXPECT_EQ(temp_.ReadFile("outside/secret.txt"), "secret");
  EXPECT_EQ(ModeOf(Outside("secret.txt")) & 07777, 0640u);
  EXPECT_EQ(OutsideEntries(), std::set<std::string>{"secret.txt"});
  EXPECT_FALSE(std::filesystem::exists("/tmp/nfs-localfs-escape"));
  EXPECT_FALSE(std::filesystem::exists(temp_.Path() / "x"));
}

TEST_F(LocalFsTest, SymbolicLinksAreNeverFollowed) {
  ASSERT_EQ(symlink(Outside("secret.txt").c_str(), Inside("file-link").c_str()), 0);
  ASSERT_EQ(symlink(Outside().c_str(), Inside("dir-link").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", Inside("dangling").c_str()), 0);

  auto entry = dir_->GetEntry(u"file-link");
  ASSERT_TRUE(entry);
  EXPECT_TRUE(entry->GetDosAttributes() & LocalFs::kAttributeReparsePoint);
  EXPECT_EQ(entry->GetReparseTag(), LocalFs::kReparseTagSymlink);
  EXPECT_FALSE(entry->GetDosAttributes() & LocalFs::kAttributeDirectory);
  EXPECT_EQ(dir_->GetEntry(u"dir-link")->GetReparseTag(), LocalFs::kReparseTagSymlink);

  EXPECT_FALSE(dir_->OpenFile(u"file-link", FileAccess::Read));
  EXPECT_FALSE(dir_->OpenFile(u"file-link", FileAccess::ReadWrite));
  EXPECT_FALSE(dir_->CreateFile(u"file-link"));
  EXPECT_FALSE(dir_->CreateFile(u"dangling"));
  EXPECT_FALSE(dir_->OpenDirectory(u"dir-link"));
  EXPECT_FALSE(dir_->OpenDirectory(*dir_->GetEntry(u"dir-link")));
  EXPECT_FALSE(dir_->SetUnixPermissions(u"file-link", 0777));
  EXPECT_FALSE(dir_->SetDosAttributes(u"file-link", LocalFs::kAttributeReadOnly));
  EXPECT_FALSE(dir_->RemoveDirectory(u"dir-link"));
  EXPECT_FALSE(std::filesystem::exists(temp_.Path() / "inside" / "nowhere"));
  EXPECT_EQ(temp_.ReadFile("outside/secret.txt"), "secret");
  EXPECT_EQ(ModeOf(Outside("secret.txt")) & 07777, 0640u);

  // Renaming and deleting act on the link itself.
  EXPECT_TRUE(dir_->Rename(u"file-link", u"moved-link"));
  EXPECT_TRUE(S_ISLNK(ModeOf(Inside("moved-link"))));
  EXPECT_TRUE(dir_->DeleteFile(u"moved-link"));
  EXPECT_TRUE(dir_->DeleteFile(u"dir-link"));
  EXPECT_EQ(OutsideEntries(), std::set<std::string>{"secret.txt"});
  EXPECT_EQ(temp_.ReadFile("outside/secret.txt"), "secret");
}

TEST_F(LocalFsTest, SpecialFilesAreNotOpenedAsFiles) {
  ASSERT_EQ(mkfifo(Inside("pipe").c_str(), 0666), 0);
  // Opening a FIFO for reading would block forever; these must return.
  EXPECT_FALSE(dir_->OpenFile(u"pipe", FileAccess::Read));
  EXPECT_EQ(dir_->TakeStatus().Code(), LocalFs::kNotRegularFile);
  EXPECT_FALSE(dir_->CreateFile(u"pipe"));
  auto entry = dir_->GetEntry(u"pipe");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->GetReparseTag(), LocalFs::kReparseTagSymlink);
  std::filesystem::create_directory(Inside("sub"));
  EXPECT_FALSE(dir_->OpenFile(u"sub", FileAccess::Read));
}

TEST_F(LocalFsTest, EntriesReportTheirAttributes) {
  temp_.WriteFile("inside/f.txt", "12345");
  ASSERT_EQ(chmod(Inside("f.txt").c_str(), 0444), 0);
  ASSERT_EQ(link(Inside("f.txt").c_str(), Inside("second").c_str()), 0);
  std::filesystem::create_directory(Inside("sub"));
  struct stat st {};
  ASSERT_EQ(lstat(Inside("f.txt").c_str(), &st), 0);

  auto file = dir_->GetEntry(u"f.txt");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->GetName(), u"f.txt");
  EXPECT_EQ(file->GetUnixMode(), 0444u);
  EXPECT_TRUE(file->GetDosAttributes() & LocalFs::kAttributeReadOnly);
  EXPECT_EQ(file->GetEndOfFile(), 5u);
  EXPECT_EQ(file->GetLinkCount(), 2u);
  EXPECT_EQ(file->GetFileReference(), st.st_ino);
  EXPECT_EQ(file->GetUnixUid(), st.st_uid);
  EXPECT_EQ(file->GetLastWriteTime(),
            static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000);

  auto sub = dir_->GetEntry(u"sub");
  EXPECT_TRUE(sub->GetDosAttributes() & LocalFs::kAttributeDirectory);
  EXPECT_EQ(sub->GetReparseTag(), 0u);

  auto self = dir_->GetSelfEntry();
  EXPECT_EQ(self->GetName(), u"inside");
  EXPECT_TRUE(self->GetDosAttributes() & LocalFs::kAttributeDirectory);

  // A missing entry: no cursor, an errno status.
  EXPECT_FALSE(dir_->GetEntry(u"missing"));
  EXPECT_EQ(dir_->TakeStatus().Code(), LocalFs::kSystemError + ENOENT);
  EXPECT_TRUE(dir_->GetStatus().IsSuccess());

  // A cursor past its entry answers neutral values.
  file->Next();
  EXPECT_FALSE(file->IsValid());
  EXPECT_EQ(file->GetStatus().Code(), LocalFs::kEndOfListing);
  EXPECT_EQ(file->GetUnixMode(), LocalFs::kUnknown32);
  EXPECT_EQ(file->GetDosAttributes(), LocalFs::kUnknown32);
  EXPECT_EQ(file->GetLinkCount(), 1u);
  EXPECT_EQ(file->GetEndOfFile(), 0u);
}

TEST_F(LocalFsTest, ListingYieldsEveryEntryOnceAndOpensRawNames) {
  temp_.WriteFile("inside/a", "");
  temp_.WriteFile("inside/b", "");
  const std::string raw = "latin\xE9";  // not UTF-8
  std::filesystem::create_directory(Inside(raw));
  temp_.WriteFile("inside/" + raw + "/child", "c");

  std::set<std::u16string> names;
  std::unique_ptr<LocalDirectoryHandle> rawDir;
  auto cursor = dir_->ListEntries();
  ASSERT_TRUE(cursor);
  for (; cursor->IsValid(); cursor->Next()) {
    names.insert(cursor->GetName());
    if (cursor->GetDosAttributes() & LocalFs::kAttributeDirectory) rawDir = dir_->OpenDirectory(*cursor);
  }
  EXPECT_EQ(cursor->GetStatus().Code(), LocalFs::kEndOfListing);
  const std::u16string rawName = u"latin\u00e9";  // byte-wise: 0xE9 becomes U+00E9
  EXPECT_EQ(names, (std::set<std::u16string>{u"a", u"b", rawName}));
  ASSERT_TRUE(rawDir);
  EXPECT_TRUE(rawDir->GetEntry(u"child"));
}

TEST_F(LocalFsTest, FilesWriteThroughAndKeepTheirOwnPosition) {
  auto file = dir_->CreateFile(u"data.bin");
  ASSERT_TRUE(file);
  size_t count = 0;
  ASSERT_TRUE(file->Write("hello", 5, count));
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(file->GetPosition(), 5u);
  // Visible to anyone at once: nothing waits in a user-space buffer.
  EXPECT_EQ(temp_.ReadFile("inside/data.bin"), "hello");

  ASSERT_TRUE(file->Seek(10));
  ASSERT_TRUE(file->Write("X", 1, count));
  EXPECT_EQ(file->GetSize(), 11u);
  EXPECT_EQ(temp_.ReadFile("inside/data.bin"), std::string("hello\0\0\0\0\0X", 11));

  char buffer[32] = {};
  ASSERT_TRUE(file->Seek(1));
  ASSERT_TRUE(file->Read(buffer, 4, count));
  EXPECT_EQ(std::string(buffer, count), "ello");
  ASSERT_TRUE(file->Read(buffer, sizeof buffer, count));
  EXPECT_EQ(count, 6u);  // short only at the end
  ASSERT_TRUE(file->Read(buffer, sizeof buffer, count));
  EXPECT_EQ(count, 0u);

  EXPECT_TRUE(file->Flush());
  EXPECT_TRUE(file->SetSize(2));
  EXPECT_EQ(temp_.ReadFile("inside/data.bin"), "he");
  std::vector<uint8_t> request = {1, 2, 3, 4};
  EXPECT_FALSE(file->Control(request));
  EXPECT_EQ(file->TakeStatus().Code(), LocalFs::kNotSupported);

  // Creating again empties the file; opening never creates.
  ASSERT_TRUE(dir_->CreateFile(u"data.bin"));
  EXPECT_EQ(temp_.ReadFile("inside/data.bin"), "");
  EXPECT_FALSE(dir_->OpenFile(u"absent", FileAccess::Read));
  EXPECT_FALSE(std::filesystem::exists(Inside("absent")));
  auto reader = dir_->OpenFile(u"data.bin", FileAccess::Read);
  ASSERT_TRUE(reader);
  EXPECT_FALSE(reader->Write("x", 1, count));
  EXPECT_EQ(reader->TakeStatus().Code(), LocalFs::kSystemError + EBADF);
}

TEST_F(LocalFsTest, DirectoryChanges) {
  ASSERT_TRUE(dir_->CreateDirectory(u"sub"));
  EXPECT_FALSE(dir_->CreateDirectory(u"sub"));
  EXPECT_EQ(dir_->TakeStatus().Code(), LocalFs::kSystemError + EEXIST);

  temp_.WriteFile("inside/one", "1");
  temp_.WriteFile("inside/two", "2");
  EXPECT_TRUE(dir_->Rename(u"one", u"two"));  // replaces a file
  EXPECT_EQ(temp_.ReadFile("inside/two"), "1");
  EXPECT_FALSE(dir_->Rename(u"two", u"sub"));  // never a folder
  EXPECT_TRUE(std::filesystem::is_directory(Inside("sub")));
  EXPECT_EQ(temp_.ReadFile("inside/two"), "1");

  temp_.WriteFile("inside/sub/inner", "x");
  EXPECT_FALSE(dir_->RemoveDirectory(u"sub"));
  EXPECT_FALSE(dir_->DeleteFile(u"sub"));
  EXPECT_TRUE(dir_->SetUnixPermissions(u"two", 0600));
  EXPECT_EQ(ModeOf(Inside("two")) & 07777, 0600u);
  EXPECT_TRUE(dir_->SetDosAttributes(u"two", LocalFs::kAttributeReadOnly));
  EXPECT_EQ(ModeOf(Inside("two")) & 07777, 0400u);
  EXPECT_TRUE(dir_->SetDosAttributes(u"two", 0));
  EXPECT_EQ(ModeOf(Inside("two")) & 07777, 0600u);

  auto sub = dir_->OpenDirectory(u"sub");
  ASSERT_TRUE(sub);
  EXPECT_EQ(sub->GetLocalPath(), Inside("sub"));
  auto parent = sub->OpenDirectory(u"..");
  ASSERT_TRUE(parent);
  EXPECT_EQ(parent->GetLocalPath(), Inside());
  EXPECT_TRUE(parent->GetEntry(u"two"));
  EXPECT_TRUE(sub->DeleteFile(u"inner"));
  EXPECT_TRUE(dir_->RemoveDirectory(u"sub"));

  uint64_t total = 0, free = 0, available = 0;
  ASSERT_TRUE(dir_->GetDriveSizes(total, free, available));
  EXPECT_GT(total, 0u);
  EXPECT_GE(total, free);
  EXPECT_GE(free, available);

  // The file-system name is answered where it is known, else nothing.
  std::vector<uint8_t> request(4 + 128, 0);
  std::memcpy(request.data(), "GFST", 4);
  if (dir_->Control(request)) {
    EXPECT_NE(request[4], 0);
  } else {
    EXPECT_EQ(dir_->TakeStatus().Code(), LocalFs::kNotSupported);
  }
  std::vector<uint8_t> unknown = {'D', 'S', 'T', 'A', 0, 0, 0, 0};
  EXPECT_FALSE(dir_->Control(unknown));
}

}  // namespace
