// One client, buggy or hostile, can neither end the service nor make the
// share stale for the others, and every refusal is told as it is: raw
// calls over loopback against the real service, with the disk checked.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "localfs/LocalFs.h"
#include "server_lib/core/ObjectId.h"
#include "tests/service_lib/CallClient.h"
#include "tests/service_lib/RunningService.h"
#include "tests/support/Ports.h"

namespace {

using TestSupport::Client;
using Bytes_t = std::vector<uint8_t>;

uint32_t ModeOf(const std::string& path) {
  struct stat entry {};
  EXPECT_EQ(lstat(path.c_str(), &entry), 0) << path;
  return entry.st_mode;
}

// A service on a port of its own, and two clients of it.
class OneCallSafetyTest : public TestSupport::RunningServiceTest {
 protected:
  void SetUp() override {
    RunningServiceTest::SetUp();
    a_ = std::make_unique<Client>("127.0.0.1", "127.0.0.1", port_);
    b_ = std::make_unique<Client>("127.0.0.2", "127.0.0.1", port_);
    share_ = Common::ToUtf8(ShareName());
    ASSERT_EQ(a_->Mnt(share_.c_str(), &root_), MNT3_OK);
  }
  void TearDown() override {
    LocalFs::SetFaultHook(nullptr);
    RunningServiceTest::TearDown();
  }
  NFS::NSL::NetworkOptions NetworkOptions() const override {
    NFS::NSL::NetworkOptions options;
    options.port = TestSupport::FreeLoopbackPort();
    return options;
  }

  // The share works for the other client: its root, and a file in it.
  void ExpectTheShareServes() {
    EXPECT_EQ(b_->GetAttr(root_), NFS3_OK);
    Bytes_t file;
    EXPECT_EQ(b_->Lookup(root_, "kept.txt", &file), NFS3_OK);
    std::string data;
    EXPECT_EQ(b_->Read(file, &data), NFS3_OK);
    EXPECT_EQ(data, "kept");
    Bytes_t again;
    EXPECT_EQ(b_->Mnt(share_.c_str(), &again), MNT3_OK);
    EXPECT_EQ(again, root_);
  }

  void NamesThatAreNoEntriesAreRefusedAndTheShareStays();
  void LocalFailuresAreToldWithTheirMeaning();

  std::unique_ptr<Client> a_;
  std::unique_ptr<Client> b_;
  std::string share_;
  Bytes_t root_;
};

// The same with a share name of more than one component, whose root's
// parent folder lies outside the export.
class NestedShareSafetyTest : public OneCallSafetyTest {
 protected:
  std::u16string ShareName() const override { return u"/exports/a"; }
};

TEST_F(OneCallSafetyTest, NamesThatAreNoEntriesAreRefusedAndTheShareStays) {
  NamesThatAreNoEntriesAreRefusedAndTheShareStays();
}
TEST_F(NestedShareSafetyTest, NamesThatAreNoEntriesAreRefusedAndTheShareStays) {
  NamesThatAreNoEntriesAreRefusedAndTheShareStays();
}
TEST_F(OneCallSafetyTest, LocalFailuresAreToldWithTheirMeaning) { LocalFailuresAreToldWithTheirMeaning(); }
TEST_F(NestedShareSafetyTest, LocalFailuresAreToldWithTheirMeaning) { LocalFailuresAreToldWithTheirMeaning(); }

void OneCallSafetyTest::NamesThatAreNoEntriesAreRefusedAndTheShareStays() {
  temp_.WriteFile("export/kept.txt", "kept");
  std::filesystem::create_directory(Local("folder"));
  temp_.WriteFile("export/folder/inner.txt", "inner");
  Bytes_t folder;
  ASSERT_EQ(a_->Lookup(root_, "folder", &folder), NFS3_OK);

  EXPECT_EQ(a_->RmDir(root_, "."), NFS3ERR_INVAL);
  ExpectTheShareServes();
  EXPECT_EQ(a_->Rename(root_, ".", "x"), NFS3ERR_INVAL);
  EXPECT_EQ(a_->Rename(root_, "kept.txt", ".."), NFS3ERR_INVAL);
  EXPECT_EQ(a_->RmDir(folder, ".."), NFS3ERR_INVAL);
  EXPECT_EQ(a_->Rename(folder, "..", "y"), NFS3ERR_INVAL);
  EXPECT_EQ(a_->Rename(folder, "inner.txt", root_, "moved.txt"), NFS3ERR_NOTSUPP);
  EXPECT_EQ(a_->Remove(root_, "."), NFS3ERR_INVAL);
  EXPECT_EQ(a_->RmDir(folder, "."), NFS3ERR_INVAL);
  EXPECT_EQ(a_->Create(root_, ".."), NFS3ERR_INVAL);
  EXPECT_EQ(a_->MkDir(folder, "."), NFS3ERR_INVAL);
  EXPECT_EQ(a_->Create(root_, "a/b"), NFS3ERR_INVAL);
  EXPECT_EQ(a_->Create(root_, ""), NFS3ERR_INVAL);
  const std::string long300(300, 'n');
  EXPECT_EQ(a_->Create(root_, long300.c_str()), NFS3ERR_NAMETOOLONG);
  EXPECT_EQ(a_->MkDir(root_, long300.c_str()), NFS3ERR_NAMETOOLONG);
  EXPECT_EQ(a_->Rename(root_, "kept.txt", long300.c_str()), NFS3ERR_NAMETOOLONG);

  ExpectTheShareServes();
  EXPECT_EQ(a_->GetAttr(folder), NFS3_OK);
  EXPECT_EQ(temp_.ReadFile("export/folder/inner.txt"), "inner");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(ExportPath()), {}), 2);
}

void OneCallSafetyTest::LocalFailuresAreToldWithTheirMeaning() {
  temp_.WriteFile("export/kept.txt", "kept");
  std::filesystem::create_directories(Local("full/sub"));
  temp_.WriteFile("export/full/data.txt", "data");
  Bytes_t full;
  ASSERT_EQ(a_->Lookup(root_, "full", &full), NFS3_OK);

  EXPECT_EQ(a_->Remove(root_, "full"), NFS3ERR_ISDIR);
  EXPECT_EQ(a_->RmDir(root_, "full"), NFS3ERR_NOTEMPTY);
  EXPECT_EQ(a_->RmDir(root_, "kept.txt"), NFS3ERR_NOTDIR);
  EXPECT_EQ(a_->Remove(root_, "missing"), NFS3ERR_NOENT);
  EXPECT_EQ(a_->Create(root_, "kept.txt"), NFS3ERR_EXIST);
  EXPECT_EQ(a_->MkDir(root_, "full"), NFS3ERR_EXIST);
  EXPECT_EQ(temp_.ReadFile("export/full/data.txt"), "data");
  EXPECT_TRUE(std::filesystem::is_directory(Local("full/sub")));
  EXPECT_EQ(temp_.ReadFile("export/kept.txt"), "kept");
  // Nothing changed, so every handle still works.
  EXPECT_EQ(a_->GetAttr(full), NFS3_OK);
  ExpectTheShareServes();
}

TEST_F(OneCallSafetyTest, AGuardedCreateNeverEmptiesAFileMadeMeanwhile) {
  temp_.WriteFile("export/kept.txt", "kept");
  // The file appears between the server's look for the name and its create.
  static std::string raceTarget;
  raceTarget = Local("raced.txt");
  LocalFs::SetFaultHook([](const char* operation) {
    if (std::string(operation) != "CreateFile") return;
    std::ofstream(raceTarget) << "precious";
  });
  EXPECT_EQ(a_->Create(root_, "raced.txt"), NFS3ERR_EXIST);
  LocalFs::SetFaultHook(nullptr);
  EXPECT_EQ(temp_.ReadFile("export/raced.txt"), "precious");
  ExpectTheShareServes();
}

TEST_F(OneCallSafetyTest, HandlesActOnTheirOwnObjectOrAreStale) {
  temp_.WriteFile("export/kept.txt", "kept");
  Bytes_t docs;
  ASSERT_EQ(a_->MkDir(root_, "docs", &docs), NFS3_OK);
  Bytes_t file;
  ASSERT_EQ(a_->Create(root_, "file", &file), NFS3_OK);
  // Locally, each name is given to another kind of object.
  std::filesystem::rename(Local("docs"), Local("docs.old"));
  temp_.WriteFile("export/docs", "a file now");
  chmod(Local("docs").c_str(), 0644);
  std::filesystem::remove(Local("file"));
  std::filesystem::create_directory(Local("file"));
  chmod(Local("file").c_str(), 0755);

  // The folder handle changes the folder it was made for, wherever it is,
  // or nothing; never the file that took its name.
  const nfsstat3 folderChange = a_->SetMode(docs, 0700);
  EXPECT_TRUE(folderChange == NFS3_OK || folderChange == NFS3ERR_STALE) << folderChange;
  EXPECT_EQ(ModeOf(Local("docs")) & 0777, 0644u);
  EXPECT_TRUE(S_ISREG(ModeOf(Local("docs"))));
  if (folderChange == NFS3_OK) {
    EXPECT_EQ(ModeOf(Local("docs.old")) & 0777, 0700u);
  }

  // The file handle finds a folder under its name: that is not its object.
  EXPECT_EQ(a_->GetAttr(file), NFS3ERR_STALE);
  EXPECT_EQ(a_->SetMode(file, 0700), NFS3ERR_STALE);
  std::string data;
  EXPECT_EQ(a_->Read(file, &data), NFS3ERR_STALE);
  EXPECT_EQ(a_->Write(file, "x"), NFS3ERR_STALE);
  EXPECT_EQ(ModeOf(Local("file")) & 0777, 0755u);
  EXPECT_TRUE(std::filesystem::is_empty(Local("file")));
  ExpectTheShareServes();
}

TEST_F(OneCallSafetyTest, AReadCutToTheLargestTransferIsNoEndOfFile) {
  temp_.WriteFile("export/kept.txt", "kept");
  temp_.WriteFile("export/big.bin", std::string(1 << 20, 'b'));
  Bytes_t big;
  ASSERT_EQ(a_->Lookup(root_, "big.bin", &big), NFS3_OK);
  std::string data;
  bool eof = true;
  ASSERT_EQ(a_->ReadAt(big, 0, 65536, &data, &eof), NFS3_OK);
  EXPECT_EQ(data.size(), 32768u);
  EXPECT_FALSE(eof);
  ASSERT_EQ(a_->ReadAt(big, (1 << 20) - 100, 4096, &data, &eof), NFS3_OK);
  EXPECT_EQ(data.size(), 100u);
  EXPECT_TRUE(eof);
  ASSERT_EQ(a_->ReadAt(big, 1 << 20, 10, &data, &eof), NFS3_OK);
  EXPECT_TRUE(data.empty());
  EXPECT_TRUE(eof);
}

// What a failure inside the local file system does at each stage of a
// request: that call fails, alone, and the next call of another client is
// answered as usual.
TEST_F(OneCallSafetyTest, AFailureAtAnyStageEndsOnlyItsOwnCall) {
  temp_.WriteFile("export/kept.txt", "kept");
  std::filesystem::create_directory(Local("dir"));
  for (int i = 0; i < 40; ++i) temp_.WriteFile("export/dir/f" + std::to_string(i), "x");
  static std::string failing;
  static int thrown = 0;
  LocalFs::SetFaultHook([](const char* operation) {
    if (failing != operation) return;
    ++thrown;
    throw std::runtime_error(std::string("injected failure in ") + operation);
  });
  for (const char* stage : {"GetEntry", "OpenDirectory", "GetSelfEntry", "ListEntries", "Next",
                            "OpenFile", "Read", "Write", "Seek", "Flush", "GetSize", "SetSize", "CreateFile",
                            "CreateDirectory", "DeleteFile", "RemoveDirectory", "Rename", "SetUnixPermissions",
                            "GetDriveSizes"}) {
    SCOPED_TRACE(stage);
    failing = stage;
    thrown = 0;
    // Each of these reaches one stage or another; none may end the service.
    Bytes_t dir;
    Bytes_t file;
    a_->Lookup(root_, "dir", &dir);
    a_->Lookup(root_, "kept.txt", &file);
    std::vector<std::string> names;
    a_->ReadDirPlus(dir.empty() ? root_ : dir, &names);
    a_->GetAttr(file.empty() ? root_ : file);
    std::string data;
    a_->Read(file.empty() ? root_ : file, &data);
    bool eof = false;
    a_->ReadAt(file.empty() ? root_ : file, 2, 2, &data, &eof);  // away from the position: a seek
    a_->Write(file.empty() ? root_ : file, "kept");
    a_->Commit(file.empty() ? root_ : file);
    a_->SetMode(file.empty() ? root_ : file, 0644);
    a_->SetSize(file.empty() ? root_ : file, 4);
    a_->Create(root_, "new.txt");
    a_->MkDir(root_, "newdir");
    a_->Rename(root_, "new.txt", "renamed.txt");
    a_->Remove(root_, "renamed.txt");
    a_->Remove(root_, "new.txt");
    a_->RmDir(root_, "newdir");
    a_->FsStat(root_);
    a_->FsInfo(root_);
    failing.clear();
    // The stage was reached: the failure really happened inside a request.
    EXPECT_GT(thrown, 0);
    ExpectTheShareServes();
    EXPECT_EQ(temp_.ReadFile("export/kept.txt"), "kept");
    // Leftovers of a call that failed half-way go before the next stage.
    std::filesystem::remove(Local("new.txt"));
    std::filesystem::remove(Local("renamed.txt"));
    std::filesystem::remove(Local("newdir"));
  }
}

}  // namespace
