#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"
#include "server_lib/local/FSInfoImpl.h"
#include "tests/server_lib/LocalTestFixture.h"

namespace {

using NFS::ObjectTypeCode::Directory;
using NFS::ObjectTypeCode::RegularFile;

class LocalObjectsTest : public TestSupport::LocalShareTest {};

std::shared_ptr<NFS::DirObject> AsDir(const std::shared_ptr<NFS::FileSystemObject>& object) {
  return std::dynamic_pointer_cast<NFS::DirObject>(object);
}

TEST_F(LocalObjectsTest, LookupFindsFilesAndDirectoriesWithPathIds) {
  std::filesystem::create_directory(Local("docs"));
  Write("docs/a.txt", "hello");

  auto docs = AsDir(root_->Lookup(u"docs"));
  ASSERT_TRUE(docs);
  EXPECT_EQ(docs->GetPath(), u"/share/docs");
  EXPECT_EQ(docs->GetId(), NFS::MakeObjectId(NFS::kDirectoryKind, u"/share/docs"));

  auto file = docs->Lookup(u"a.txt");
  ASSERT_TRUE(file);
  EXPECT_FALSE(AsDir(file));
  EXPECT_EQ(file->GetPath(), u"/share/docs/a.txt");
  EXPECT_EQ(file->GetId(), NFS::MakeObjectId(NFS::kFileKind, u"/share/docs/a.txt"));

  EXPECT_FALSE(docs->Lookup(u"missing"));
  // Pattern characters are never patterns; over-long names are never found.
  EXPECT_FALSE(docs->Lookup(u"*.txt"));
  EXPECT_FALSE(docs->Lookup(u"a.tx?"));
  EXPECT_FALSE(root_->Lookup(std::u16string(256, u'a')));

  // "." is the same directory again; ".." climbs only below the share root.
  auto self = AsDir(docs->Lookup(u"."));
  ASSERT_TRUE(self);
  EXPECT_EQ(self->GetId(), docs->GetId());
  auto parent = AsDir(docs->Lookup(u".."));
  ASSERT_TRUE(parent);
  EXPECT_EQ(parent->GetPath(), u"/share");
  EXPECT_FALSE(root_->Lookup(u".."));
}

TEST_F(LocalObjectsTest, AttributesReportUnixModeOwnerSizesTimesAndIds) {
  Write("f.bin", std::string(5000, 'x'));
  ASSERT_EQ(chmod(Local("f.bin").c_str(), 0640), 0);
  ASSERT_EQ(link(Local("f.bin").c_str(), Local("hard").c_str()), 0);
  std::filesystem::create_directory(Local("d"));
  ASSERT_EQ(chmod(Local("d").c_str(), 0751), 0);
  const struct stat st = Stat(Local("f.bin"));

  auto attributes = root_->Lookup(u"f.bin")->GetAttributes();
  EXPECT_EQ(attributes->GetType(), RegularFile);
  EXPECT_EQ(attributes->GetMode(), 0640u);
  EXPECT_EQ(attributes->GetLinksCount(), 2u);
  EXPECT_EQ(attributes->GetUid(), st.st_uid);
  EXPECT_EQ(attributes->GetGid(), st.st_gid);
  EXPECT_EQ(attributes->GetSize(), 5000u);
  EXPECT_EQ(attributes->GetUsedSize(), static_cast<uint64_t>(st.st_blocks) * 512);
  EXPECT_EQ(attributes->GetFileId(), st.st_ino);
  const auto millis = [](const timespec& t) {
    return static_cast<uint64_t>(t.tv_sec) * 1000 + static_cast<uint64_t>(t.tv_nsec) / 1000000;
  };
  EXPECT_EQ(attributes->GetModifyTime(), millis(st.st_mtim));
  EXPECT_EQ(attributes->GetAccessTime(), millis(st.st_atim));
  EXPECT_EQ(attributes->GetChangeTime(), millis(st.st_ctim));
  EXPECT_EQ(attributes->GetDevice(), std::make_pair(0u, 0u));

  auto dir = root_->Lookup(u"d")->GetAttributes();
  EXPECT_EQ(dir->GetType(), Directory);
  EXPECT_EQ(dir->GetMode(), 0751u);
  EXPECT_EQ(root_->GetAttributes()->GetType(), Directory);
}

TEST_F(LocalObjectsTest, ModifierChangesModeOwnerAndSize) {
  Write("f.txt", "0123456789");
  std::filesystem::create_directory(Local("d"));
  Common::ScopedLogCapture log;

  auto file = root_->Lookup(u"f.txt");
  auto modifier = file->GetAttributesModifier();
  modifier->SetUnixPermissions(0600);
  EXPECT_EQ(Stat(Local("f.txt")).st_mode & 07777, 0600u);
  EXPECT_EQ(file->GetAttributes()->GetMode(), 0600u);
  EXPECT_TRUE(log.Contains("Attributes(" + ExportPath() + ")::SetUnixPermissions(f.txt,384)"));

  modifier->Truncate(4);
  EXPECT_EQ(Read("f.txt"), "0123");
  modifier->Truncate(6);
  EXPECT_EQ(Read("f.txt"), std::string("0123\0\0", 6));
  EXPECT_TRUE(log.Contains("Attributes(" + ExportPath() + ")::Truncate(f.txt,6)"));

  // Giving a file to its current owner always works, root or not.
  const struct stat before = Stat(Local("f.txt"));
  modifier->SetUnixOwner(before.st_uid, before.st_gid);
  EXPECT_EQ(Stat(Local("f.txt")).st_uid, before.st_uid);

  // A directory is changed through its own descriptor; it has no size to set.
  auto dir = root_->Lookup(u"d");
  dir->GetAttributesModifier()->SetUnixPermissions(0700);
  EXPECT_EQ(Stat(Local("d")).st_mode & 07777, 0700u);
  dir->GetAttributesModifier()->Truncate(0);
  EXPECT_TRUE(std::filesystem::is_directory(Local("d")));

  // A change the file system refuses is thrown, never dropped.
  EXPECT_THROW(modifier->Truncate(UINT64_MAX), Common::Error);
}

TEST_F(LocalObjectsTest, DirectoryChangesStayInsideTheFolder) {
  const std::string outside = (temp_.Path() / "outside").string();
  ASSERT_EQ(symlink((outside + "/secret.txt").c_str(), Local("link").c_str()), 0);
  ASSERT_EQ(symlink(outside.c_str(), Local("dirlink").c_str()), 0);
  Write("victim.txt", "keep");
  const auto outsideBefore = Stat(outside + "/secret.txt");

  // Every one of these fails, and says so.
  for (const std::u16string name : {u"..", u"../x", u"a/../../x", u"/tmp/nfs-escape", u"../outside/secret.txt",
                                    u"", u"a:b", u"dirlink/x"}) {
    EXPECT_THROW(root_->CreateFile(name), Common::Error);
    EXPECT_THROW(root_->CreateDir(name), Common::Error);
    EXPECT_THROW(root_->DeleteFile(name), Common::Error);
    EXPECT_THROW(root_->DeleteDir(name), Common::Error);
    EXPECT_THROW(root_->Rename(u"victim.txt", name), Common::Error);
    EXPECT_THROW(root_->Rename(name, u"victim.txt"), Common::Error);
    EXPECT_FALSE(root_->Lookup(name) && name != u"..");
  }
  EXPECT_THROW(root_->DeleteDir(u"dirlink"), Common::Error);

  EXPECT_EQ(Read("victim.txt"), "keep");
  EXPECT_EQ(temp_.ReadFile("outside/secret.txt"), "secret");
  EXPECT_FALSE(std::filesystem::exists("/tmp/nfs-escape"));
  EXPECT_FALSE(temp_.Exists("x"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(outside), {}), 1);

  // A symbolic link is neither looked up nor followed when created over.
  EXPECT_FALSE(root_->Lookup(u"link"));
  EXPECT_FALSE(root_->Lookup(u"dirlink"));
  EXPECT_THROW(root_->CreateFile(u"link"), Common::Error);
  EXPECT_EQ(temp_.ReadFile("outside/secret.txt"), "secret");
  EXPECT_EQ(Stat(outside + "/secret.txt").st_mtim.tv_nsec, outsideBefore.st_mtim.tv_nsec);
  EXPECT_TRUE(S_ISLNK(Stat(Local("link")).st_mode));

  // Removing a link removes the link only.
  root_->DeleteFile(u"link");
  EXPECT_FALSE(Exists("link"));
  EXPECT_EQ(temp_.ReadFile("outside/secret.txt"), "secret");
}

TEST_F(LocalObjectsTest, CreateDeleteAndRenameEntries) {
  Write("full.txt", "content");
  EXPECT_THROW(root_->CreateFile(u"full.txt"), Common::Error);
  EXPECT_EQ(Read("full.txt"), "content");  // a create never empties what is there

  root_->CreateDir(u"sub");
  ASSERT_TRUE(AsDir(root_->Lookup(u"sub")));
  root_->Rename(u"full.txt", u"renamed.txt");
  EXPECT_FALSE(root_->Lookup(u"full.txt"));
  EXPECT_TRUE(root_->Lookup(u"renamed.txt"));

  // Rename replaces a file but never a directory.
  Write("other.txt", "other");
  root_->Rename(u"other.txt", u"renamed.txt");
  EXPECT_EQ(Read("renamed.txt"), "other");
  EXPECT_THROW(root_->Rename(u"renamed.txt", u"sub"), Common::Error);
  EXPECT_TRUE(AsDir(root_->Lookup(u"sub")));
  EXPECT_TRUE(Exists("renamed.txt"));

  root_->DeleteFile(u"renamed.txt");
  EXPECT_FALSE(Exists("renamed.txt"));
  Write("sub/inner", "x");
  EXPECT_THROW(root_->DeleteDir(u"sub"), Common::Error);  // not empty: stays
  EXPECT_TRUE(Exists("sub"));
  EXPECT_THROW(root_->DeleteFile(u"sub"), Common::Error);  // a directory is not a file
  EXPECT_TRUE(Exists("sub"));
}

TEST_F(LocalObjectsTest, FileSystemInformation) {
  auto stat = root_->GetFSStat();
  EXPECT_GT(stat->GetTotalBytes(), 0u);
  EXPECT_GE(stat->GetTotalBytes(), stat->GetFreeBytes());
  EXPECT_GE(stat->GetFreeBytes(), stat->GetAvailableBytes());
  EXPECT_EQ(stat->GetTotalFiles(), 0u);
  EXPECT_EQ(stat->GetFreeFiles(), 0xFFFFFFFFFFFFFFFFull);
  EXPECT_EQ(stat->GetAvailableFiles(), 0xFFFFFFFFFFFFFFFFull);
  EXPECT_GE(root_->GetFSInfo()->GetMaxFileSize(), 0x100000000ull);

  using NFS::FSInfoImpl;
  EXPECT_EQ(FSInfoImpl(FSInfoImpl::FileSystemTypeFromName("FAT32")).GetMaxFileSize(), 0x100000000ull);
  EXPECT_EQ(FSInfoImpl(FSInfoImpl::FileSystemTypeFromName("NTFS")).GetMaxFileSize(),
            0x8000000000000000ull);
  EXPECT_EQ(FSInfoImpl(FSInfoImpl::FileSystemTypeFromName("EXT4FS")).GetMaxFileSize(), 0x400000000ull);
  EXPECT_EQ(FSInfoImpl::FileSystemTypeFromName("exFAT"), 0u);
  EXPECT_EQ(FSInfoImpl(FSInfoImpl::FileSystemTypeFromName("EXFAT")).GetMaxFileSize(),
            0x1FC000000000000ull);
  EXPECT_EQ(FSInfoImpl::FileSystemTypeFromName("VFAT"), 15u);
  EXPECT_EQ(FSInfoImpl::FileSystemTypeFromName("APFS"), 23u);
}

}  // namespace
