#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "server_lib/core/ObjectId.h"
#include "tests/module/HostProcess.h"
#include "tests/service_lib/RpcClient.h"
#include "tests/support/TempDir.h"

namespace {

using Bytes_t = std::vector<uint8_t>;
constexpr uint32_t kChunk = 32768;

// Chunk i holds the byte i + 1 throughout, so a chunk on disk tells whether it got there.
std::string Chunk(size_t i) { return std::string(kChunk, static_cast<char>(i % 250 + 1)); }

// The host process dies (SIGKILL) in the middle of a stream of unstable
// writes: every write it acknowledged is on disk for the next host. This
// proves that nothing acknowledged waits in the process's own memory: the
// data is in the operating system's page cache, which outlives the process.
// It says nothing of a power loss, against which only COMMIT protects.
TEST(CrashTest, AcknowledgedWritesSurviveTheDeathOfTheHostProcess) {
  TestSupport::TempDir temp;
  const std::string exported = (temp.Path() / "export").string();
  size_t acknowledged = 0;
  {
    TestSupport::HostProcess host({"--local-path", exported, "--share-name", "/share", "--control-socket",
                                   (temp.Path() / "control.sock").string()});
    ASSERT_TRUE(host.WaitForOutput("Serving", 20000)) << host.ErrorOutput();
    TestSupport::RpcClient nfs(2029, 100003);
    Bytes_t root = NFS::MakeObjectId(NFS::kDirectoryKind, u"/share");
    CREATE3args create{};
    create.where = {TestSupport::Handle(root), const_cast<char*>("stream.bin")};
    create.how.mode = GUARDED;
    CREATE3res created{};
    ASSERT_EQ(nfs.Call(8, xdr_CREATE3args, create, xdr_CREATE3res, created), RPC_SUCCESS);
    ASSERT_EQ(created.status, NFS3_OK);
    Bytes_t file = TestSupport::Bytes(created.CREATE3res_u.resok.obj.post_op_fh3_u.handle);
    nfs.Free(xdr_CREATE3res, created);

    // Unstable writes, acknowledged one by one; the host dies in the middle.
    for (size_t i = 0; i < 400; ++i) {
      if (i == 150) host.Signal(SIGKILL);
      std::string data = Chunk(i);
      WRITE3args args{TestSupport::Handle(file), i * kChunk, kChunk, UNSTABLE, {kChunk, data.data()}};
      WRITE3res result{};
      if (nfs.Call(7, xdr_WRITE3args, args, xdr_WRITE3res, result, 2000) != RPC_SUCCESS) break;
      if (result.status != NFS3_OK) break;
      nfs.Free(xdr_WRITE3res, result);
      acknowledged = i + 1;
    }
    host.WaitForExit(5000);
  }
  ASSERT_GE(acknowledged, 150u);
  ASSERT_LT(acknowledged, 400u);

  // A new host serves the folder; every acknowledged chunk is there.
  TestSupport::HostProcess again({"--local-path", exported, "--share-name", "/share", "--control-socket",
                                  (temp.Path() / "control2.sock").string()});
  ASSERT_TRUE(again.WaitForOutput("Serving", 20000)) << again.ErrorOutput();
  const std::string onDisk = temp.ReadFile("export/stream.bin");
  ASSERT_GE(onDisk.size(), acknowledged * kChunk);
  for (size_t i = 0; i < acknowledged; ++i) {
    ASSERT_EQ(onDisk.compare(i * kChunk, kChunk, Chunk(i)), 0) << "chunk " << i;
  }
  again.Signal(SIGTERM);
  EXPECT_EQ(again.WaitForExit(10000), 0);
}

}  // namespace
