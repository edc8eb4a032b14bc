#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>

#include "localfs/LocalFs.h"
#include "server_lib/local/LocalObjects.h"
#include "tests/support/TempDir.h"

namespace TestSupport {

// A temporary folder holding "export" (shared as "/share") and, beside it,
// "outside", which no operation on the share may touch.
class LocalShareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(temp_.Path() / "export");
    std::filesystem::create_directory(temp_.Path() / "outside");
    temp_.WriteFile("outside/secret.txt", "secret");
    root_ = OpenRoot();
  }

  std::shared_ptr<NFS::DirObject> OpenRoot() {
    Common::Error error;
    std::shared_ptr<LocalFs::LocalDirectoryHandle> local =
        LocalFs::CreateLocalDirectoryHandle(ExportPath(), &error);
    EXPECT_TRUE(local) << error.Describe();
    return NFS::CreateLocalDirObject(u"/share", std::move(local));
  }

  std::string ExportPath() const { return (temp_.Path() / "export").string(); }
  std::string Local(const std::string& relative) const { return ExportPath() + "/" + relative; }
  void Write(const std::string& relative, const std::string& content) {
    temp_.WriteFile("export/" + relative, content);
  }
  std::string Read(const std::string& relative) const { return temp_.ReadFile("export/" + relative); }
  bool Exists(const std::string& relative) const { return temp_.Exists("export/" + relative); }

  struct stat Stat(const std::string& path) const {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
  }

  TempDir temp_;
  std::shared_ptr<NFS::DirObject> root_;
};

}  // namespace TestSupport
