#include "tools/ControlProtocol.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/support/TempDir.h"

namespace {

// The message the folder is refused with; empty when it is accepted.
std::string Refusal(const std::filesystem::path& folder) {
  try {
    Host::PreparePrivateFolder(folder.string());
  } catch (const Common::Error& error) {
    return Common::ToUtf8(error.Message());
  }
  return "";
}

std::string NotPrivate(const std::filesystem::path& folder, const std::string& why) {
  return "The control socket folder '" + folder.string() + "' is not private: " + why +
         ". Remove it, or give --control-socket PATH.";
}

TEST(PrivateFolderTest, MadeOwnerOnlyAndRefusedWhenOthersCouldChangeIt) {
  TestSupport::TempDir temp;
  const auto folder = temp.Path() / "private";
  ASSERT_EQ(Refusal(folder), "");
  struct stat made {};
  ASSERT_EQ(lstat(folder.c_str(), &made), 0);
  EXPECT_TRUE(S_ISDIR(made.st_mode));
  EXPECT_EQ(made.st_mode & 07777, 0700u);
  EXPECT_EQ(made.st_uid, geteuid());
  EXPECT_EQ(Refusal(folder), "");  // as it is when the host starts again

  ASSERT_EQ(chmod(folder.c_str(), 0755), 0);  // readable by others, but not writable
  EXPECT_EQ(Refusal(folder), "");
  ASSERT_EQ(chmod(folder.c_str(), 0770), 0);
  EXPECT_EQ(Refusal(folder), NotPrivate(folder, "other users may write to it (mode 0770)"));
  ASSERT_EQ(chmod(folder.c_str(), 01777), 0);
  EXPECT_EQ(Refusal(folder), NotPrivate(folder, "other users may write to it (mode 1777)"));

  std::filesystem::create_directory(temp.Path() / "elsewhere");
  std::filesystem::create_directory_symlink(temp.Path() / "elsewhere", temp.Path() / "link");
  EXPECT_EQ(Refusal(temp.Path() / "link"), NotPrivate(temp.Path() / "link", "it is a symbolic link"));
  temp.WriteFile("file", "");
  EXPECT_EQ(Refusal(temp.Path() / "file"), NotPrivate(temp.Path() / "file", "it is not a folder"));
  const auto missingParent = temp.Path() / "no" / "such";
  EXPECT_EQ(Refusal(missingParent), "Cannot create the control socket folder '" + missingParent.string() +
                                        "': No such file or directory");
}

TEST(PrivateFolderTest, AFolderOfAnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a folder to another user needs root";
  TestSupport::TempDir temp;
  const auto folder = temp.Path() / "theirs";
  std::filesystem::create_directory(folder);
  ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
  ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
  EXPECT_EQ(Refusal(folder), NotPrivate(folder, "it belongs to user 65534, not to you (0)"));
}

TEST(PrivateFolderTest, OnlyTheDefaultFolderIsPrepared) {
  TestSupport::TempDir temp;
  Host::PrepareSocketFolder((temp.Path() / "mine" / "control.sock").string());
  EXPECT_FALSE(std::filesystem::exists(temp.Path() / "mine"));
  EXPECT_EQ(Host::PrivateSocketFolder(), "/tmp/nfs_host-" + std::to_string(geteuid()));
}

}  // namespace
