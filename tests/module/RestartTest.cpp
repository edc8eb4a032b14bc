#include <gtest/gtest.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

#include "server_lib/core/ObjectId.h"
#include "tests/module/RestartingHost.h"
#include "tests/service_lib/CallClient.h"
#include "tests/support/Ports.h"
#include "tests/support/TempDir.h"

namespace {

using Bytes_t = std::vector<uint8_t>;
using TestSupport::Client;

constexpr int kManyFiles = 300;
// Far fewer than the walk below finds: most of its handles leave the memory.
constexpr const char* kCacheObjects = "100";

std::string ManyName(int i) {
  char name[24];
  std::snprintf(name, sizeof name, "f%04d", i);
  return name;
}

// A restarting host with few cached objects, and a raw client made anew
// for each of its runs.
class RestartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    temp_.WriteFile("export/deep/a/b/c/notes.txt", "hello");
    temp_.WriteFile("export/deep/a/b/c/log.txt", "");
    for (int i = 0; i < kManyFiles; ++i) temp_.WriteFile("export/many/" + ManyName(i), ManyName(i));
  }

  void Start() {
    ASSERT_NO_FATAL_FAILURE(host_.Start());
    client_ = std::make_unique<Client>("127.0.0.1", "127.0.0.1", host_.Port());
  }

  void Restart(int signal, const std::function<void()>& whileDown = {}) {
    client_.reset();
    ASSERT_NO_FATAL_FAILURE(host_.Restart(signal, whileDown));
    client_ = std::make_unique<Client>("127.0.0.1", "127.0.0.1", host_.Port());
  }

  Bytes_t Walk(const std::vector<const char*>& names) {
    Bytes_t handle;
    EXPECT_EQ(client_->Mnt("/share", &handle), MNT3_OK);
    for (const char* name : names) {
      Bytes_t next;
      EXPECT_EQ(client_->Lookup(handle, name, &next), NFS3_OK) << name;
      handle = next;
    }
    return handle;
  }

  TestSupport::TempDir temp_;
  TestSupport::RestartingHost host_{temp_, {"--cache-objects", kCacheObjects}};
  std::unique_ptr<Client> client_;
};

TEST_F(RestartTest, OldHandlesOfFilesAndFoldersWorkAfterSigtermAndKill) {
  ASSERT_NO_FATAL_FAILURE(Start());
  const Bytes_t deep = Walk({"deep", "a", "b", "c"});
  const Bytes_t notes = Walk({"deep", "a", "b", "c", "notes.txt"});
  Bytes_t log = Walk({"deep", "a", "b", "c", "log.txt"});
  const Bytes_t many = Walk({"many"});
  std::vector<Bytes_t> files;
  for (int i = 0; i < kManyFiles; ++i) {
    Bytes_t file;
    ASSERT_EQ(client_->Lookup(many, ManyName(i).c_str(), &file), NFS3_OK);
    files.push_back(file);
  }
  // The first files have left the cache already: found again by their path.
  std::string data;
  ASSERT_EQ(client_->Read(files[0], &data), NFS3_OK);
  EXPECT_EQ(data, ManyName(0));
  ASSERT_EQ(client_->Write(log, "one\n"), NFS3_OK);

  auto everyOldHandleWorks = [&](const std::string& logContent) {
    std::vector<std::string> names;
    ASSERT_EQ(client_->ReadDirPlus(deep, &names), NFS3_OK);
    EXPECT_NE(std::find(names.begin(), names.end(), "notes.txt"), names.end());
    std::string text;
    ASSERT_EQ(client_->Read(notes, &text), NFS3_OK);
    EXPECT_EQ(text, "hello");
    Bytes_t again;
    ASSERT_EQ(client_->Lookup(deep, "notes.txt", &again), NFS3_OK);
    EXPECT_EQ(again, notes);
    EXPECT_EQ(client_->GetAttr(many), NFS3_OK);
    for (int i = 0; i < kManyFiles; i += 7) {
      std::string content;
      ASSERT_EQ(client_->Read(files[static_cast<size_t>(i)], &content), NFS3_OK) << ManyName(i);
      EXPECT_EQ(content, ManyName(i));
    }
    EXPECT_EQ(temp_.ReadFile("export/deep/a/b/c/log.txt"), logContent);
  };

  ASSERT_NO_FATAL_FAILURE(Restart(SIGTERM));
  everyOldHandleWorks("one\n");
  // Appends through the old handle, and a file made now.
  WRITE3args append{TestSupport::Handle(log), 4, 4, FILE_SYNC, {4, const_cast<char*>("two\n")}};
  WRITE3res written{};
  ASSERT_EQ(client_->Call(7, xdr_WRITE3args, append, xdr_WRITE3res, written), NFS3_OK);
  client_->nfs.Free(xdr_WRITE3res, written);
  Bytes_t made;
  ASSERT_EQ(client_->Create(deep, "made.txt", &made), NFS3_OK);
  Bytes_t madeDir;
  ASSERT_EQ(client_->MkDir(deep, "made-dir", &madeDir), NFS3_OK);
  // The store writes new ids within about a second; a process killed after
  // that has them on disk.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));

  ASSERT_NO_FATAL_FAILURE(Restart(SIGKILL));
  everyOldHandleWorks("one\ntwo\n");
  EXPECT_EQ(client_->GetAttr(made), NFS3_OK);
  EXPECT_EQ(client_->Write(made, "made"), NFS3_OK);
  EXPECT_EQ(temp_.ReadFile("export/deep/a/b/c/made.txt"), "made");
  Bytes_t inside;
  EXPECT_EQ(client_->Create(madeDir, "inside.txt", &inside), NFS3_OK);
  EXPECT_TRUE(temp_.Exists("export/deep/a/b/c/made-dir/inside.txt"));
}

TEST_F(RestartTest, AHandleNeverResolvesToAnotherObject) {
  ASSERT_NO_FATAL_FAILURE(Start());
  const Bytes_t notes = Walk({"deep", "a", "b", "c", "notes.txt"});
  const Bytes_t many = Walk({"many"});
  Bytes_t gone;
  ASSERT_EQ(client_->Lookup(many, "f0000", &gone), NFS3_OK);
  // While the host is down: the file becomes a folder, another file goes,
  // and a folder moves out of the export with a link left in its place.
  const std::filesystem::path exported = temp_.Path() / "export";
  ASSERT_NO_FATAL_FAILURE(Restart(SIGTERM, [&] {
    std::filesystem::remove(exported / "deep/a/b/c/notes.txt");
    std::filesystem::create_directory(exported / "deep/a/b/c/notes.txt");
    std::filesystem::remove(exported / "many/f0000");
    std::filesystem::rename(exported / "many", temp_.Path() / "outside");
    std::filesystem::create_directory_symlink(temp_.Path() / "outside", exported / "many");
  }));
  EXPECT_EQ(client_->GetAttr(notes), NFS3ERR_STALE);
  EXPECT_EQ(client_->GetAttr(gone), NFS3ERR_STALE);
  // The name now gives the folder's own handle.
  const Bytes_t deep = Walk({"deep", "a", "b", "c"});
  Bytes_t folder;
  ASSERT_EQ(client_->Lookup(deep, "notes.txt", &folder), NFS3_OK);
  EXPECT_NE(folder, notes);
  EXPECT_EQ(client_->GetAttr(notes), NFS3ERR_STALE);
  // An id the server never handed out, of a path that exists, stays unknown.
  EXPECT_EQ(client_->GetAttr(NFS::MakeObjectId(NFS::kFileKind, u"/share/deep/a/b/c/log.txt")), NFS3ERR_STALE);
  // The walk does not follow the link out of the export.
  EXPECT_EQ(client_->GetAttr(many), NFS3ERR_STALE);
}

TEST_F(RestartTest, ADamagedStoreIsMovedAsideAndTheServerStartsAnew) {
  ASSERT_NO_FATAL_FAILURE(Start());
  const Bytes_t notes = Walk({"deep", "a", "b", "c", "notes.txt"});
  ASSERT_NO_FATAL_FAILURE(Restart(SIGTERM, [&] {
    std::ofstream damage(temp_.Path() / "state" / "data.mdb", std::ios::binary | std::ios::trunc);
    damage << std::string(8192, '\x5a');
  }));
  EXPECT_TRUE(host_.Process().WaitForErrorOutput((temp_.Path() / "state").string(), 5000))
      << host_.Process().ErrorOutput();
  // The old handle is stale, as without a store; everything else works.
  EXPECT_EQ(client_->GetAttr(notes), NFS3ERR_STALE);
  const Bytes_t again = Walk({"deep", "a", "b", "c", "notes.txt"});
  std::string text;
  EXPECT_EQ(client_->Read(again, &text), NFS3_OK);
  EXPECT_EQ(text, "hello");
  bool movedAside = false;
  for (const auto& entry : std::filesystem::directory_iterator(temp_.Path() / "state")) {
    movedAside |= entry.path().filename().string().find("damaged") != std::string::npos;
  }
  EXPECT_TRUE(movedAside);
}

}  // namespace

namespace {

TEST(StateFlagsTest, BadCacheSizesAndUnusableStateFoldersStopTheStart) {
  TestSupport::TempDir temp;
  temp.WriteFile("not-a-folder", "");
  const std::vector<std::string> base{"--local-path", (temp.Path() / "export").string(), "--control-socket",
                                      (temp.Path() / "control.sock").string(), "--port",
                                      std::to_string(TestSupport::FreeLoopbackPort())};
  auto run = [&](std::vector<std::string> more) {
    std::vector<std::string> arguments = base;
    arguments.insert(arguments.end(), more.begin(), more.end());
    return TestSupport::RunHostToEnd(arguments);
  };
  const auto notANumber = run({"--cache-objects", "lots"});
  EXPECT_EQ(notANumber.status, 2);
  EXPECT_NE(notANumber.errors.find("--cache-objects 'lots'"), std::string::npos) << notANumber.errors;
  const auto tooFew = run({"--cache-objects", "10", "--state-dir", (temp.Path() / "state").string()});
  EXPECT_EQ(tooFew.status, 1);
  EXPECT_NE(tooFew.errors.find("give at least 64 objects"), std::string::npos) << tooFew.errors;
  const auto unusable = run({"--state-dir", (temp.Path() / "not-a-folder" / "state").string()});
  EXPECT_EQ(unusable.status, 1);
  EXPECT_NE(unusable.errors.find("not-a-folder"), std::string::npos) << unusable.errors;
}

}  // namespace
