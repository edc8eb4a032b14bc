#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <set>

#include "tests/support/Process.h"
#include "localfs/LocalFs.h"
#include "tests/support/TempDir.h"
#include "tests/support/Tmpfs.h"

namespace {

using LocalFs::FileAccess;
using LocalFs::LocalDirectoryHandle;
using LocalFs::LocalEntryCursor;

constexpr uint32_t kSys = LocalFs::kSystemError;

// "inside" is opened as the folder under test; "outside" beside it must stay
// untouched whatever names are thrown at "inside".
class LocalFsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(temp_.Path() / "inside");
    std::filesystem::create_directory(temp_.Path() / "outside");
    temp_.WriteFile("outside/secret.txt", "secret");
    ASSERT_EQ(chmod(Outside("secret.txt").c_str(), 0640), 0);
    Common::Error error;
    dir_ = LocalFs::CreateLocalDirectoryHandle(Inside(), &error);
    ASSERT_TRUE(dir_) << error.Describe();
  }

  std::string Inside(const std::string& name = "") const { return Under("inside", name); }
  std::string Outside(const std::string& name = "") const { return Under("outside", name); }
  std::string Under(const std::string& folder, const std::string& name) const {
    return (temp_.Path() / folder).string() + (name.empty() ? "" : "/" + name);
  }
  static std::set<std::string> Names(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }
  static struct stat Lstat(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
  }
  void ExpectOutsideUntouched() const {
    EXPECT_EQ(Names(Outside()), std::set<std::string>{"secret.txt"});
    EXPECT_EQ(temp_.ReadFile("outside/secret.txt"), "secret");
    EXPECT_EQ(Lstat(Outside("secret.txt")).st_mode & 07777, 0640u);
  }

  TestSupport::TempDir temp_;
  std::unique_ptr<LocalDirectoryHandle> dir_;
};

uint64_t Milliseconds(const timespec& t) {
  return static_cast<uint64_t>(t.tv_sec) * 1000 + static_cast<uint64_t>(t.tv_nsec) / 1000000;
}

TEST(NameRuleTest, AcceptsSingleEntryNamesOnly) {
  EXPECT_TRUE(LocalFs::IsValidEntryName(u"a.txt"));
  EXPECT_TRUE(LocalFs::IsValidEntryName(u"..."));
  EXPECT_TRUE(LocalFs::IsValidEntryName(u".hidden"));
  EXPECT_TRUE(LocalFs::IsValidEntryName(std::u16string(255, u'a')));
  EXPECT_TRUE(LocalFs::IsValidEntryName(u"caf\u00e9 \u4e2d"));
  for (const std::u16string bad :
       {u"", u".", u"..", u"a/b", u"a\\b", u"a:b", u"a*", u"a?", u"\"a\"", u"<a>", u"a|b", u"a\x01",
        u"tab\t", u"\x1f"}) {
    EXPECT_FALSE(LocalFs::IsValidEntryName(bad)) << Common::ToUtf8(bad);
  }
  EXPECT_FALSE(LocalFs::IsValidEntryName(std::u16string(256, u'a')));
  EXPECT_FALSE(LocalFs::IsValidEntryName(std::u16string(1, u'\0')));
}

TEST_F(LocalFsTest, HostileNamesReachNothingOutside) {
  temp_.WriteFile("inside/keep.txt", "keep");
  using Operation = std::function<bool(const std::u16string&)>;
  const std::vector<std::pair<const char*, Operation>> operations = {
      {"GetEntry", [&](const auto& n) { return dir_->GetEntry(n) != nullptr; }},
      {"OpenDirectory", [&](const auto& n) { return dir_->OpenDirectory(n) != nullptr; }},
      {"CreateFile", [&](const auto& n) { return dir_->CreateFile(n) != nullptr; }},
      {"OpenFile", [&](const auto& n) { return dir_->OpenFile(n, FileAccess::ReadWrite) != nullptr; }},
      {"CreateDirectory", [&](const auto& n) { return dir_->CreateDirectory(n); }},
      {"DeleteFile", [&](const auto& n) { return dir_->DeleteFile(n); }},
      {"RemoveDirectory", [&](const auto& n) { return dir_->RemoveDirectory(n); }},
      {"RenameTo", [&](const auto& n) { return dir_->Rename(u"keep.txt", n); }},
      {"RenameFrom", [&](const auto& n) { return dir_->Rename(n, u"keep.txt"); }},
      {"SetUnixPermissions", [&](const auto& n) { return dir_->SetUnixPermissions(n, 0777); }},
      {"SetUnixOwner", [&](const auto& n) { return dir_->SetUnixOwner(n, 0, 0); }},
      {"SetDosAttributes", [&](const auto& n) { return dir_->SetDosAttributes(n, 1); }},
  };
  const std::u16string absolute = Common::FromUtf8(Outside("planted"));
  for (const std::u16string& name :
       {std::u16string(), std::u16string(u"."), std::u16string(u".."), std::u16string(u"a/b"),
        std::u16string(u"../x"), std::u16string(u"a/../../x"), absolute,
        std::u16string(u"../outside/secret.txt"), std::u16string(256, u'a'), std::u16string(u"a\x01"),
        std::u16string(u"a:b"), std::u16string(u"a*"), std::u16string(u"a?"), std::u16string(u"\"a"),
        std::u16string(u"<a"), std::u16string(u"a>"), std::u16string(u"a|b"), std::u16string(u"a\\b"),
        std::u16string(1, char16_t(0xD800)),  // lone surrogate: no strict UTF-8 form
        std::u16string(200, u'\u00e9')}) {      // 200 units but 400 bytes
    for (const auto& [what, operation] : operations) {
      const bool dotName = name == u"." || name == u"..";
      if (dotName && std::string_view(what) == "OpenDirectory") continue;
      // "." names the folder itself for attribute changes (tested below).
      if (name == u"." && std::string_view(what).starts_with("Set")) continue;
      EXPECT_FALSE(operation(name)) << what << " " << Common::ToUtf8(name);
      EXPECT_EQ(dir_->TakeStatus().Code(), LocalFs::kInvalidName) << what << " " << Common::ToUtf8(name);
    }
  }
  EXPECT_EQ(temp_.ReadFile("inside/keep.txt"), "keep");
  EXPECT_EQ(Names(Inside()), std::set<std::string>{"keep.txt"});
  EXPECT_EQ(Names(temp_.PathString()), (std::set<std::string>{"inside", "outside"}));
  ExpectOutsideUntouched();
}

TEST_F(LocalFsTest, SymbolicLinksAreNeverFollowed) {
  ASSERT_EQ(symlink(Outside("secret.txt").c_str(), Inside("file-link").c_str()), 0);
  ASSERT_EQ(symlink(Outside().c_str(), Inside("dir-link").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", Inside("dangling").c_str()), 0);
  const mode_t outsideMode = Lstat(Outside()).st_mode;

  for (const auto& name : {u"file-link", u"dir-link", u"dangling"}) {
    auto entry = dir_->GetEntry(name);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->GetDosAttributes() & (LocalFs::kAttributeReparsePoint | LocalFs::kAttributeDirectory),
              LocalFs::kAttributeReparsePoint);
    EXPECT_EQ(entry->GetReparseTag(), LocalFs::kReparseTagSymlink);
  }
  size_t listed = 0;
  for (auto cursor = dir_->ListEntries(); cursor->IsValid(); cursor->Next(), ++listed) {
    EXPECT_EQ(cursor->GetReparseTag(), LocalFs::kReparseTagSymlink) << Common::ToUtf8(cursor->GetName());
    EXPECT_TRUE(cursor->GetDosAttributes() & LocalFs::kAttributeReparsePoint);
  }
  EXPECT_EQ(listed, 3u);

  EXPECT_FALSE(dir_->OpenFile(u"file-link", FileAccess::Read));
  EXPECT_FALSE(dir_->OpenFile(u"file-link", FileAccess::ReadWrite));
  // A create never goes through an existing name, a link among them.
  EXPECT_FALSE(dir_->CreateFile(u"file-link"));
  EXPECT_EQ(dir_->TakeStatus().Code(), kSys + EEXIST);
  EXPECT_FALSE(dir_->CreateFile(u"dangling"));
  EXPECT_FALSE(dir_->OpenDirectory(u"dir-link"));
  EXPECT_FALSE(dir_->OpenDirectory(*dir_->GetEntry(u"dir-link")));
  EXPECT_FALSE(dir_->SetUnixPermissions(u"file-link", 0777));
  EXPECT_FALSE(dir_->SetUnixPermissions(u"dir-link", 0777));
  EXPECT_FALSE(dir_->SetDosAttributes(u"file-link", LocalFs::kAttributeReadOnly));
  EXPECT_FALSE(dir_->RemoveDirectory(u"dir-link"));
  EXPECT_FALSE(std::filesystem::exists(Inside("nowhere")));
  EXPECT_EQ(Lstat(Outside()).st_mode, outsideMode);
  ExpectOutsideUntouched();

  // Renaming and deleting act on the link itself.
  EXPECT_TRUE(dir_->Rename(u"file-link", u"moved-link"));
  EXPECT_TRUE(S_ISLNK(Lstat(Inside("moved-link")).st_mode));
  EXPECT_TRUE(dir_->DeleteFile(u"moved-link"));
  EXPECT_TRUE(dir_->DeleteFile(u"dir-link"));
  EXPECT_EQ(Names(Inside()), std::set<std::string>{"dangling"});
  ExpectOutsideUntouched();
}

TEST_F(LocalFsTest, SpecialFilesAreNotOpenedAsFiles) {
  ASSERT_EQ(mkfifo(Inside("pipe").c_str(), 0666), 0);
  // Opening a FIFO without a peer would block forever; these must return.
  for (FileAccess access : {FileAccess::Read, FileAccess::Write, FileAccess::ReadWrite}) {
    EXPECT_FALSE(dir_->OpenFile(u"pipe", access));
    EXPECT_EQ(dir_->TakeStatus().Code(), LocalFs::kNotRegularFile);
  }
  EXPECT_FALSE(dir_->CreateFile(u"pipe"));
  EXPECT_EQ(dir_->TakeStatus().Code(), kSys + EEXIST);
  EXPECT_TRUE(S_ISFIFO(Lstat(Inside("pipe")).st_mode));
  auto pipe = dir_->GetEntry(u"pipe");
  ASSERT_TRUE(pipe);
  EXPECT_EQ(pipe->GetReparseTag(), LocalFs::kReparseTagSymlink);
  EXPECT_EQ(pipe->GetDevice(), (std::pair<uint32_t, uint32_t>(0, 0)));

  std::filesystem::create_directory(Inside("sub"));
  EXPECT_FALSE(dir_->OpenFile(u"sub", FileAccess::Read));
  EXPECT_EQ(dir_->TakeStatus().Code(), LocalFs::kNotRegularFile);

  // Device nodes need privileges the test may not have.
  if (mknod(Inside("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
    auto device = dir_->GetEntry(u"null");
    ASSERT_TRUE(device);
    EXPECT_EQ(device->GetDevice(), (std::pair<uint32_t, uint32_t>(1, 3)));
    EXPECT_EQ(device->GetReparseTag(), LocalFs::kReparseTagSymlink);
    EXPECT_FALSE(dir_->OpenFile(u"null", FileAccess::Write));
    EXPECT_EQ(dir_->TakeStatus().Code(), LocalFs::kNotRegularFile);
  }
}

TEST_F(LocalFsTest, EntriesReportTheirAttributes) {
  temp_.WriteFile("inside/f.txt", "12345");
  ASSERT_EQ(truncate(Inside("f.txt").c_str(), 1 << 20), 0);  // a hole, on most file systems
  ASSERT_EQ(chmod(Inside("f.txt").c_str(), 0444), 0);
  ASSERT_EQ(link(Inside("f.txt").c_str(), Inside("second").c_str()), 0);
  std::filesystem::create_directory(Inside("sub"));
  const struct stat st = Lstat(Inside("f.txt"));

  auto file = dir_->GetEntry(u"f.txt");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->GetName(), u"f.txt");
  EXPECT_EQ(file->GetUnixMode(), 0444u);
  EXPECT_EQ(file->GetDosAttributes() & ~LocalFs::kAttributeSparse, LocalFs::kAttributeReadOnly);
  EXPECT_EQ(bool(file->GetDosAttributes() & LocalFs::kAttributeSparse),
            static_cast<uint64_t>(st.st_blocks) * 512 < static_cast<uint64_t>(st.st_size));
  EXPECT_EQ(file->GetReparseTag(), 0u);
  EXPECT_EQ(file->GetEndOfFile(), uint64_t{1} << 20);
  EXPECT_EQ(file->GetAllocationSize(), static_cast<uint64_t>(st.st_blocks) * 512);
  EXPECT_EQ(file->GetLinkCount(), 2u);
  EXPECT_EQ(file->GetFileReference(), st.st_ino);
  EXPECT_EQ(file->GetUnixUid(), st.st_uid);
  EXPECT_EQ(file->GetUnixGid(), st.st_gid);
  EXPECT_EQ(file->GetLastAccessTime(), Milliseconds(st.st_atim));
  EXPECT_EQ(file->GetLastWriteTime(), Milliseconds(st.st_mtim));
  EXPECT_EQ(file->GetChangeTime(), Milliseconds(st.st_ctim));
  EXPECT_EQ(file->GetDevice(), (std::pair<uint32_t, uint32_t>(0, 0)));

  auto sub = dir_->GetEntry(u"sub");
  EXPECT_EQ(sub->GetDosAttributes(), LocalFs::kAttributeDirectory);
  EXPECT_EQ(sub->GetReparseTag(), 0u);
  auto self = dir_->GetSelfEntry();
  EXPECT_EQ(self->GetName(), u"inside");
  EXPECT_EQ(self->GetFileReference(), Lstat(Inside()).st_ino);
  EXPECT_TRUE(self->GetDosAttributes() & LocalFs::kAttributeDirectory);

  // A missing entry: no cursor, an errno status that a later success keeps.
  EXPECT_FALSE(dir_->GetEntry(u"missing"));
  EXPECT_TRUE(dir_->GetEntry(u"sub"));
  EXPECT_EQ(dir_->GetStatus().Code(), kSys + ENOENT);
  EXPECT_EQ(dir_->TakeStatus().Code(), kSys + ENOENT);
  EXPECT_TRUE(dir_->GetStatus().IsSuccess());

  // A single-entry cursor ends at its first step and then answers neutral values.
  file->Next();
  EXPECT_FALSE(file->IsValid());
  EXPECT_EQ(file->GetStatus().Code(), LocalFs::kEndOfListing);
  EXPECT_EQ(file->GetName(), u"");
  EXPECT_EQ(file->GetUnixMode(), LocalFs::kUnknown32);
  EXPECT_EQ(file->GetDosAttributes(), LocalFs::kUnknown32);
  EXPECT_EQ(file->GetLinkCount(), 1u);
  EXPECT_EQ(file->GetEndOfFile() + file->GetFileReference() + file->GetUnixUid() +
                file->GetLastWriteTime() + file->GetReparseTag(),
            0u);
}

TEST_F(LocalFsTest, ListingYieldsEveryEntryOnceAndOpensRawNames) {
  const std::string raw = "latin\xE9";  // not UTF-8
  std::filesystem::create_directory(Inside(raw));
  temp_.WriteFile("inside/" + raw + "/child", "c");
  // Enough long names that no listing can read them all in one go.
  std::set<std::u16string> expected = {u"latin\u00e9"};  // byte-wise: 0xE9 becomes U+00E9
  for (int i = 0; i < 600; ++i) {
    const std::string name = std::to_string(i) + std::string(100, 'x');
    temp_.WriteFile("inside/" + name, "");
    expected.insert(Common::FromUtf8(name));
  }

  auto first = dir_->ListEntries();
  auto second = dir_->ListEntries();
  ASSERT_TRUE(first && second);
  std::set<std::u16string> firstNames, secondNames;
  std::unique_ptr<LocalDirectoryHandle> rawDir;
  // Interleaved walks of one handle must not disturb each other.
  while (first->IsValid() || second->IsValid()) {
    for (auto* walk : {&first, &second}) {
      LocalEntryCursor& cursor = **walk;
      if (!cursor.IsValid()) continue;
      auto& names = walk == &first ? firstNames : secondNames;
      EXPECT_TRUE(names.insert(cursor.GetName()).second) << "twice: " << Common::ToUtf8(cursor.GetName());
      if (cursor.GetDosAttributes() & LocalFs::kAttributeDirectory) rawDir = dir_->OpenDirectory(cursor);
      cursor.Next();
    }
  }
  EXPECT_EQ(first->GetStatus().Code(), LocalFs::kEndOfListing);
  EXPECT_EQ(second->TakeStatus().Code(), LocalFs::kEndOfListing);
  EXPECT_EQ(firstNames, expected);
  EXPECT_EQ(secondNames, expected);
  ASSERT_TRUE(rawDir);
  EXPECT_EQ(rawDir->GetLocalPath(), Inside(raw));
  EXPECT_TRUE(rawDir->GetEntry(u"child"));
  EXPECT_FALSE(dir_->OpenDirectory(*first));  // past the end
}

TEST_F(LocalFsTest, NamesAreVisitedWithTheirKindWithoutLinksOrSpecialFiles) {
  std::filesystem::create_directory(Inside("folder"));
  std::set<std::u16string> files;
  for (int i = 0; i < 300; ++i) {
    temp_.WriteFile("inside/file-" + std::to_string(i), "");
    files.insert(Common::FromUtf8("file-" + std::to_string(i)));
  }
  ASSERT_EQ(symlink(Outside().c_str(), Inside("link").c_str()), 0);
  ASSERT_EQ(mkfifo(Inside("pipe").c_str(), 0666), 0);
  std::set<std::u16string> seen, folders;
  EXPECT_TRUE(dir_->VisitNames([&](const std::u16string& name, bool folder) {
    EXPECT_TRUE(seen.insert(name).second);
    if (folder) folders.insert(name);
    return true;
  }));
  files.insert(u"folder");
  EXPECT_EQ(seen, files);
  EXPECT_EQ(folders, std::set<std::u16string>{u"folder"});
  size_t visits = 0;
  dir_->VisitNames([&](const std::u16string&, bool) { return ++visits < 5; });
  EXPECT_EQ(visits, 5u);
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

  // A second handle has a position of its own.
  auto reader = dir_->OpenFile(u"data.bin", FileAccess::Read);
  ASSERT_TRUE(reader);
  char buffer[32] = {};
  ASSERT_TRUE(reader->Seek(1));
  ASSERT_TRUE(reader->Read(buffer, 4, count));
  EXPECT_EQ(std::string(buffer, count), "ello");
  EXPECT_EQ(file->GetPosition(), 11u);
  ASSERT_TRUE(reader->Read(buffer, sizeof buffer, count));
  EXPECT_EQ(count, 6u);  // short only at the end
  ASSERT_TRUE(reader->Read(buffer, sizeof buffer, count));
  EXPECT_EQ(count, 0u);
  EXPECT_FALSE(reader->Write("x", 1, count));
  EXPECT_EQ(reader->TakeStatus().Code(), kSys + EBADF);

  EXPECT_TRUE(file->Flush());
  EXPECT_TRUE(file->SetSize(2));
  EXPECT_EQ(temp_.ReadFile("inside/data.bin"), "he");
  std::vector<uint8_t> request = {'G', 'F', 'S', 'T'};
  EXPECT_FALSE(file->Control(request));
  EXPECT_EQ(file->TakeStatus().Code(), LocalFs::kNotSupported);
  EXPECT_TRUE(file->GetStatus().IsSuccess());

  // Creating again fails and leaves the file as it was; opening never creates.
  EXPECT_FALSE(dir_->CreateFile(u"data.bin"));
  EXPECT_EQ(dir_->TakeStatus().Code(), kSys + EEXIST);
  EXPECT_EQ(temp_.ReadFile("inside/data.bin"), "he");
  EXPECT_FALSE(dir_->OpenFile(u"absent", FileAccess::Write));
  EXPECT_EQ(dir_->TakeStatus().Code(), kSys + ENOENT);
  EXPECT_FALSE(temp_.Exists("inside/absent"));
}

TEST_F(LocalFsTest, DirectoryChanges) {
  ASSERT_TRUE(dir_->CreateDirectory(u"sub"));
  EXPECT_FALSE(dir_->CreateDirectory(u"sub"));
  EXPECT_EQ(dir_->TakeStatus().Code(), kSys + EEXIST);

  temp_.WriteFile("inside/one", "1");
  temp_.WriteFile("inside/two", "2");
  EXPECT_TRUE(dir_->Rename(u"one", u"two"));  // replaces a file
  EXPECT_EQ(Names(Inside()), (std::set<std::string>{"sub", "two"}));
  EXPECT_EQ(temp_.ReadFile("inside/two"), "1");
  std::filesystem::create_directory(Inside("empty"));
  EXPECT_FALSE(dir_->Rename(u"two", u"sub"));  // never a folder, even an empty one
  EXPECT_FALSE(dir_->Rename(u"sub", u"empty"));
  EXPECT_EQ(dir_->TakeStatus().Code(), kSys + EEXIST);
  EXPECT_TRUE(std::filesystem::is_directory(Inside("sub")));
  EXPECT_EQ(temp_.ReadFile("inside/two"), "1");
  EXPECT_FALSE(dir_->Rename(u"absent", u"other"));
  EXPECT_EQ(dir_->TakeStatus().Code(), kSys + ENOENT);

  temp_.WriteFile("inside/sub/inner", "x");
  EXPECT_FALSE(dir_->RemoveDirectory(u"sub"));
  EXPECT_EQ(dir_->GetStatus().Code(), kSys + ENOTEMPTY);
  EXPECT_EQ(Common::ToUtf8(dir_->TakeStatus().Message()),
            "unlinkat 'sub' in '" + Inside() + "': " + std::strerror(ENOTEMPTY));
  EXPECT_FALSE(dir_->DeleteFile(u"sub"));
  EXPECT_FALSE(dir_->RemoveDirectory(u"two"));
  EXPECT_EQ(dir_->TakeStatus().Code(), kSys + ENOTDIR);
  EXPECT_TRUE(temp_.Exists("inside/sub/inner"));

  // Set-id and sticky bits are never set, whatever is asked.
  EXPECT_TRUE(dir_->SetUnixPermissions(u"two", 07600));
  EXPECT_EQ(Lstat(Inside("two")).st_mode & 07777, 0600u);
  EXPECT_TRUE(dir_->SetUnixPermissions(u"two", 0664));
  EXPECT_TRUE(dir_->SetDosAttributes(u"two", LocalFs::kAttributeReadOnly));
  EXPECT_EQ(Lstat(Inside("two")).st_mode & 07777, 0444u);
  EXPECT_TRUE(dir_->SetDosAttributes(u"two", 0));
  EXPECT_EQ(Lstat(Inside("two")).st_mode & 07777, 0644u);

  const struct stat before = Lstat(Inside("two"));
  EXPECT_TRUE(dir_->SetUnixOwner(u"two", LocalFs::kUnknown32, LocalFs::kUnknown32));
  EXPECT_EQ(Lstat(Inside("two")).st_uid, before.st_uid);
  EXPECT_EQ(Lstat(Inside("two")).st_gid, before.st_gid);
  if (geteuid() == 0) {
    EXPECT_TRUE(dir_->SetUnixOwner(u"two", 1234, LocalFs::kUnknown32));
    EXPECT_EQ(Lstat(Inside("two")).st_uid, 1234u);
    EXPECT_EQ(Lstat(Inside("two")).st_gid, before.st_gid);
  }

  auto sub = dir_->OpenDirectory(u"sub");
  ASSERT_TRUE(sub);
  EXPECT_EQ(sub->GetLocalPath(), Inside("sub"));
  auto parent = sub->OpenDirectory(u"..");
  ASSERT_TRUE(parent);
  EXPECT_EQ(parent->GetLocalPath(), Inside());
  EXPECT_TRUE(parent->GetEntry(u"two"));
  auto same = sub->OpenDirectory(u".");
  ASSERT_TRUE(same);
  EXPECT_EQ(same->GetLocalPath(), Inside("sub"));
  EXPECT_TRUE(same->DeleteFile(u"inner"));
  EXPECT_TRUE(dir_->RemoveDirectory(u"sub"));
  EXPECT_TRUE(dir_->GetStatus().IsSuccess());
}

// Another file system mounted inside is listed as a mount point and never
// entered, by name or from a listing.
TEST_F(LocalFsTest, MountPointsAreListedButNotEntered) {
  std::filesystem::create_directory(Inside("mnt"));
  const TestSupport::ScopedTmpfs tmpfs(Inside("mnt"));
  if (tmpfs.Failed()) GTEST_SKIP() << tmpfs.Why();
  temp_.WriteFile("inside/mnt/other.txt", "other");

  auto entry = dir_->GetEntry(u"mnt");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->GetReparseTag(), LocalFs::kReparseTagMountPoint);
  EXPECT_EQ(entry->GetDosAttributes() & (LocalFs::kAttributeDirectory | LocalFs::kAttributeReparsePoint),
            LocalFs::kAttributeDirectory | LocalFs::kAttributeReparsePoint);
  EXPECT_FALSE(dir_->OpenDirectory(u"mnt"));
  EXPECT_EQ(dir_->TakeStatus().Code(), kSys + EXDEV);
  EXPECT_FALSE(dir_->OpenDirectory(*entry));
  EXPECT_EQ(dir_->TakeStatus().Code(), kSys + EXDEV);

  bool listed = false;
  for (auto cursor = dir_->ListEntries(); cursor->IsValid(); cursor->Next()) {
    if (cursor->GetName() != u"mnt") continue;
    listed = true;
    EXPECT_EQ(cursor->GetReparseTag(), LocalFs::kReparseTagMountPoint);
    EXPECT_FALSE(dir_->OpenDirectory(*cursor));
  }
  EXPECT_TRUE(listed);
  // The mounted folder's own view of itself is an ordinary folder.
  auto mounted = LocalFs::CreateLocalDirectoryHandle(Inside("mnt"));
  ASSERT_TRUE(mounted);
  EXPECT_EQ(mounted->GetSelfEntry()->GetReparseTag(), 0u);
  EXPECT_EQ(mounted->GetEntry(u"other.txt")->GetReparseTag(), 0u);
}

// "." changes the folder itself through its own descriptor, even when the
// folder was opened through a link or a path ending in "..".
TEST_F(LocalFsTest, DotChangesTheFolderItself) {
  ASSERT_EQ(symlink(Inside().c_str(), (temp_.PathString() + "/link").c_str()), 0);
  std::filesystem::create_directory(Inside("sub"));
  for (const std::string& path : {temp_.PathString() + "/link", Inside("sub") + "/.."}) {
    auto folder = LocalFs::CreateLocalDirectoryHandle(path);
    ASSERT_TRUE(folder) << path;
    EXPECT_TRUE(folder->SetUnixPermissions(u".", 06711)) << path;
    EXPECT_EQ(Lstat(Inside()).st_mode & 07777, 0711u) << path;
    EXPECT_TRUE(folder->SetDosAttributes(u".", LocalFs::kAttributeReadOnly));
    EXPECT_EQ(Lstat(Inside()).st_mode & 07777, 0511u) << path;
    EXPECT_TRUE(folder->SetUnixOwner(u".", LocalFs::kUnknown32, LocalFs::kUnknown32));
    EXPECT_TRUE(folder->SetUnixPermissions(u".", 0755));
  }
  EXPECT_EQ(Lstat(Inside()).st_mode & 07777, 0755u);
  EXPECT_TRUE(S_ISLNK(Lstat(temp_.PathString() + "/link").st_mode));
  ExpectOutsideUntouched();
  EXPECT_EQ(Lstat(temp_.PathString()).st_mode & 07777, 0700u);
}

TEST_F(LocalFsTest, OpeningRootsAndVolumeQueries) {
  Common::Error error;
  EXPECT_FALSE(LocalFs::CreateLocalDirectoryHandle(Inside("absent"), &error));
  EXPECT_EQ(error.Code(), kSys + ENOENT);
  temp_.WriteFile("inside/file", "");
  EXPECT_FALSE(LocalFs::CreateLocalDirectoryHandle(Inside("file"), &error));
  EXPECT_EQ(error.Code(), kSys + ENOTDIR);
  auto root = LocalFs::CreateLocalDirectoryHandle(Inside() + "/");
  ASSERT_TRUE(root);
  EXPECT_TRUE(root->GetEntry(u"file"));

  uint64_t total = 0, free = 0, available = 0;
  ASSERT_TRUE(dir_->GetDriveSizes(total, free, available));
  EXPECT_GT(total, 0u);
  EXPECT_GE(total, free);
  EXPECT_GE(free, available);

  // The file-system name is answered where it is known, else left empty.
  std::vector<uint8_t> request(4 + 128, 0xAA);
  std::memcpy(request.data(), "GFST", 4);
  if (dir_->Control(request)) {
    std::string name;
    for (size_t i = 4; i + 1 < request.size() && request[i] != 0; i += 2) {
      EXPECT_EQ(request[i + 1], 0);
      name += static_cast<char>(request[i]);
    }
    const std::set<std::string> known = {"EXT4FS", "XFS", "REISERFS", "JFS", "HFSPLUS",
                                         "NTFS",   "VFAT", "EXFAT",   "GFS2"};
    EXPECT_TRUE(known.count(name)) << name;
  } else {
    EXPECT_EQ(dir_->TakeStatus().Code(), LocalFs::kNotSupported);
    EXPECT_EQ(request[4], 0);
  }
  std::vector<uint8_t> shortRequest = {'G', 'F', 'S', 'T', 0, 0};
  EXPECT_FALSE(dir_->Control(shortRequest));
  EXPECT_EQ(dir_->TakeStatus().Code(), LocalFs::kNotSupported);
  std::vector<uint8_t> unknown = {'D', 'S', 'T', 'A', 0, 0, 0, 0};
  EXPECT_FALSE(dir_->Control(unknown));
  EXPECT_EQ(dir_->TakeStatus().Code(), LocalFs::kNotSupported);
}

}  // namespace

// Handles outnumber the descriptor limit; the pool closes idle ones and
// each handle reopens its own object, never another one under the same name.
class DescriptorPoolTest : public LocalFsTest {
 protected:
  void SetUp() override {
    LocalFsTest::SetUp();
    LocalFs::SetDescriptorLimit(kLimit);
  }
  void TearDown() override { LocalFs::SetDescriptorLimit(LocalFs::kDefaultDescriptorLimit); }

  static constexpr size_t kLimit = 8;
};

TEST_F(DescriptorPoolTest, IdleHandlesCloseAndReopenTransparently) {
  const size_t before = TestSupport::OpenDescriptors();
  std::vector<std::unique_ptr<LocalDirectoryHandle>> folders;
  std::vector<std::unique_ptr<LocalFs::LocalFileHandle>> files;
  for (int i = 0; i < 40; ++i) {
    const std::u16string name = Common::FromUtf8("d" + std::to_string(i));
    ASSERT_TRUE(dir_->CreateDirectory(name));
    folders.push_back(dir_->OpenDirectory(name));
    ASSERT_TRUE(folders.back());
    files.push_back(folders.back()->CreateFile(u"f"));
    ASSERT_TRUE(files.back());
    size_t count = 0;
    ASSERT_TRUE(files.back()->Write("abc", 3, count));
  }
  EXPECT_LE(LocalFs::GetPooledDescriptorCount(), kLimit);
  EXPECT_LE(TestSupport::OpenDescriptors(), before + kLimit);

  // Every handle still works on its own object, position kept.
  for (int i = 0; i < 40; ++i) {
    size_t count = 0;
    const std::string tail = std::to_string(i);
    ASSERT_TRUE(files[i]->Write(tail.data(), tail.size(), count)) << files[i]->GetStatus().Describe();
    ASSERT_TRUE(files[i]->Flush());
    EXPECT_EQ(temp_.ReadFile("inside/d" + tail + "/f"), "abc" + tail);
    ASSERT_TRUE(folders[i]->CreateFile(u"g"));
    EXPECT_TRUE(temp_.Exists("inside/d" + tail + "/g"));
    auto self = folders[i]->GetSelfEntry();
    ASSERT_TRUE(self);
    EXPECT_EQ(Common::ToUtf8(self->GetName()), "d" + tail);
    auto up = folders[i]->OpenDirectory(u"..");
    ASSERT_TRUE(up);
    EXPECT_TRUE(up->GetEntry(Common::FromUtf8("d" + tail)));
  }
  EXPECT_LE(TestSupport::OpenDescriptors(), before + kLimit + 2);
  // A finished listing holds nothing.
  auto walk = dir_->ListEntries();
  while (walk->IsValid()) walk->Next();
  EXPECT_LE(TestSupport::OpenDescriptors(), before + kLimit + 2);
}

TEST_F(DescriptorPoolTest, ReplacedObjectsAreStaleNotSwapped) {
  ASSERT_TRUE(dir_->CreateDirectory(u"a"));
  auto folder = dir_->OpenDirectory(u"a");
  auto file = dir_->CreateFile(u"x");
  ASSERT_TRUE(folder && file);
  // Push both out of the pool, then put other objects under their names.
  std::vector<std::unique_ptr<LocalDirectoryHandle>> others;
  for (size_t i = 0; i < 2 * kLimit; ++i) others.push_back(dir_->OpenDirectory(u"."));
  std::vector<std::unique_ptr<LocalFs::LocalFileHandle>> fillers;
  for (size_t i = 0; i < 2 * kLimit; ++i) {
    fillers.push_back(dir_->CreateFile(Common::FromUtf8("filler" + std::to_string(i))));
  }
  std::filesystem::rename(Inside("a"), Inside("a-moved"));
  std::filesystem::create_directory(Inside("a"));
  std::filesystem::rename(Inside("x"), Inside("x-moved"));
  temp_.WriteFile("inside/x", "other");

  EXPECT_FALSE(folder->CreateFile(u"planted"));
  EXPECT_EQ(folder->TakeStatus().Code(), kSys + ESTALE);
  EXPECT_FALSE(temp_.Exists("inside/a/planted"));
  size_t count = 0;
  EXPECT_FALSE(file->Write("mine", 4, count));
  EXPECT_EQ(file->TakeStatus().Code(), kSys + ESTALE);
  EXPECT_EQ(temp_.ReadFile("inside/x"), "other");

  // A folder whose name is gone fails the same way as any missing entry.
  std::filesystem::remove(Inside("a"));
  EXPECT_FALSE(folder->GetSelfEntry());
  EXPECT_EQ(folder->TakeStatus().Code(), kSys + ENOENT);
}

TEST_F(DescriptorPoolTest, AFolderOpenedByPathStaysOpenAndItsPathIsNeverUsedAgain) {
  temp_.WriteFile("inside/mine.txt", "mine");
  ASSERT_TRUE(dir_->CreateDirectory(u"sub"));
  auto sub = dir_->OpenDirectory(u"sub");
  ASSERT_TRUE(sub);
  // The path swapped for a link to another folder.
  std::filesystem::rename(Inside(), Under("inside-moved", ""));
  std::filesystem::create_directory_symlink(Outside(), Inside());
  // Far more handles than the pool keeps open: the folder opened by path is
  // never among those closed, and its children reopen through it.
  std::vector<std::unique_ptr<LocalDirectoryHandle>> others;
  for (size_t i = 0; i < 4 * kLimit; ++i) others.push_back(sub->OpenDirectory(u"."));
  std::vector<std::unique_ptr<LocalFs::LocalFileHandle>> fillers;
  for (size_t i = 0; i < 2 * kLimit; ++i) {
    fillers.push_back(sub->CreateFile(Common::FromUtf8("filler" + std::to_string(i))));
  }
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(dir_->GetEntry(u"secret.txt"));
    EXPECT_TRUE(dir_->GetEntry(u"mine.txt")) << dir_->GetStatus().Describe();
    ASSERT_TRUE(sub->CreateFile(Common::FromUtf8("late" + std::to_string(i))));
    EXPECT_TRUE(temp_.Exists("inside-moved/sub/late" + std::to_string(i)));
  }
  ExpectOutsideUntouched();
}
