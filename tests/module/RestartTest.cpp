#include <gtest/gtest.h>
#include <nfsc/libnfs.h>

#include <fcntl.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "server_lib/core/ObjectId.h"
#include "tests/module/HostProcess.h"
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
  char name[16];
  std::snprintf(name, sizeof name, "f%04d", i);
  return name;
}

// A host on a port of the test's own, with a store of ids in the test's
// folder, restarted on the same command line as a service manager would.
class RestartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    temp_.WriteFile("export/deep/a/b/c/notes.txt", "hello");
    temp_.WriteFile("export/deep/a/b/c/log.txt", "");
    for (int i = 0; i < kManyFiles; ++i) temp_.WriteFile("export/many/" + ManyName(i), ManyName(i));
    port_ = TestSupport::FreeLoopbackPort();
  }

  std::vector<std::string> Arguments() const {
    return {"--local-path", (temp_.Path() / "export").string(), "--share-name", "/share", "--control-socket",
            (temp_.Path() / "control.sock").string(), "--state-dir", (temp_.Path() / "state").string(), "--port",
            std::to_string(port_), "--cache-objects", kCacheObjects};
  }

  void Start() {
    host_ = std::make_unique<TestSupport::HostProcess>(Arguments());
    ASSERT_TRUE(host_->WaitForOutput("Serving", 20000)) << host_->ErrorOutput();
    client_ = std::make_unique<Client>("127.0.0.1", "127.0.0.1", port_);
  }

  // SIGTERM, or SIGKILL, then the same command line again.
  void Restart(int signal) {
    client_.reset();
    host_->Signal(signal);
    ASSERT_NE(host_->WaitForExit(20000), -1);
    host_.reset();
    Start();
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
  uint16_t port_ = 0;
  std::unique_ptr<TestSupport::HostProcess> host_;
  std::unique_ptr<Client> client_;
};

TEST_F(RestartTest, OldHandlesOfFilesAndFoldersWorkAfterSigtermAndKill) {
  ASSERT_NO_FATAL_FAILURE(Start());
  const Bytes_t deep = Walk({"deep", "a", "b", "c"});
  const Bytes_t notes = Walk({"deep", "a", "b", "c", "notes.txt"});
  const Bytes_t log = Walk({"deep", "a", "b", "c", "log.txt"});
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
  ASSERT_NO_FATAL_FAILURE(Restart(SIGTERM));

  // While the host was down: the file became a folder, another file went.
  const std::filesystem::path exported = temp_.Path() / "export";
  std::filesystem::remove(exported / "deep/a/b/c/notes.txt");
  std::filesystem::create_directory(exported / "deep/a/b/c/notes.txt");
  std::filesystem::remove(exported / "many/f0000");
  EXPECT_EQ(client_->GetAttr(notes), NFS3ERR_STALE);
  EXPECT_EQ(client_->GetAttr(gone), NFS3ERR_STALE);
  // The folder's own handle (a folder's kind) is the folder's.
  EXPECT_EQ(client_->GetAttr(NFS::MakeObjectId(NFS::kDirectoryKind, u"/share/deep/a/b/c/notes.txt")), NFS3_OK);
  // An id the server never handed out, of a path that exists, stays unknown.
  EXPECT_EQ(client_->GetAttr(NFS::MakeObjectId(NFS::kFileKind, u"/share/many/f0001")), NFS3ERR_STALE);
  // The folder moved out of the export, a link left in its place: the walk
  // does not follow it out.
  std::filesystem::rename(exported / "many", temp_.Path() / "outside");
  std::filesystem::create_directory_symlink(temp_.Path() / "outside", exported / "many");
  EXPECT_EQ(client_->GetAttr(many), NFS3ERR_STALE);
}

TEST_F(RestartTest, ADamagedStoreIsMovedAsideAndTheServerStartsAnew) {
  ASSERT_NO_FATAL_FAILURE(Start());
  const Bytes_t notes = Walk({"deep", "a", "b", "c", "notes.txt"});
  client_.reset();
  host_->Signal(SIGTERM);
  ASSERT_NE(host_->WaitForExit(20000), -1);
  host_.reset();
  {
    std::ofstream damage(temp_.Path() / "state" / "data.mdb", std::ios::binary | std::ios::trunc);
    damage << std::string(8192, '\x5a');
  }
  ASSERT_NO_FATAL_FAILURE(Start());
  EXPECT_TRUE(host_->WaitForErrorOutput((temp_.Path() / "state").string(), 5000)) << host_->ErrorOutput();
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

// A libnfs context keeps its open files and its root across the restart:
// it reconnects on its own and goes on with the handles it holds.
TEST_F(RestartTest, ALibnfsClientGoesOnWithItsOpenFiles) {
  ASSERT_NO_FATAL_FAILURE(Start());
  nfs_context* nfs = nfs_init_context();
  ASSERT_NE(nfs, nullptr);
  nfs_set_timeout(nfs, 20000);
  nfs_set_autoreconnect(nfs, -1);
  const std::string url = "nfs://127.0.0.1/share?version=3&nfsport=" + std::to_string(port_) +
                          "&mountport=" + std::to_string(port_) + "&auto-traverse-mounts=0";
  nfs_url* parsed = nfs_parse_url_dir(nfs, url.c_str());
  ASSERT_NE(parsed, nullptr) << nfs_get_error(nfs);
  ASSERT_EQ(nfs_mount(nfs, parsed->server, parsed->path), 0) << nfs_get_error(nfs);
  nfs_destroy_url(parsed);
  nfsfh* reading = nullptr;
  nfsfh* appending = nullptr;
  ASSERT_EQ(nfs_open(nfs, "/deep/a/b/c/notes.txt", O_RDONLY, &reading), 0) << nfs_get_error(nfs);
  ASSERT_EQ(nfs_open(nfs, "/deep/a/b/c/log.txt", O_WRONLY | O_APPEND, &appending), 0) << nfs_get_error(nfs);
  ASSERT_EQ(nfs_write(nfs, appending, 6, "first\n"), 6) << nfs_get_error(nfs);

  ASSERT_NO_FATAL_FAILURE(Restart(SIGTERM));
  char buffer[16] = {};
  ASSERT_EQ(nfs_pread(nfs, reading, 0, 5, buffer), 5) << nfs_get_error(nfs);
  EXPECT_EQ(std::string(buffer, 5), "hello");
  ASSERT_EQ(nfs_write(nfs, appending, 7, "second\n"), 7) << nfs_get_error(nfs);
  ASSERT_EQ(nfs_fsync(nfs, appending), 0) << nfs_get_error(nfs);
  EXPECT_EQ(temp_.ReadFile("export/deep/a/b/c/log.txt"), "first\nsecond\n");
  struct nfs_stat_64 st {};
  EXPECT_EQ(nfs_fstat64(nfs, reading, &st), 0) << nfs_get_error(nfs);
  EXPECT_EQ(st.nfs_size, 5u);
  nfs_close(nfs, reading);
  nfs_close(nfs, appending);
  nfs_destroy_context(nfs);
}

}  // namespace
