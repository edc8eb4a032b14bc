#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

#include "localfs/LocalFs.h"
#include "tests/service_lib/WireFixture.h"
#include "tests/support/Ports.h"

namespace {

using TestSupport::Bytes_t;
using TestSupport::Handle;

// Flushes of local files, counted as the local library starts them: that
// the data then reaches the disk is the operating system's part.
std::atomic<int> g_flushes{0};

void CountFlushes(const char* operation) {
  if (std::strcmp(operation, "Flush") == 0) g_flushes.fetch_add(1);
}

// A service on a port of its own, with every local flush counted.
class StableWriteTest : public TestSupport::WireClientTest {
 protected:
  void SetUp() override {
    WireClientTest::SetUp();
    g_flushes = 0;
    LocalFs::SetFaultHook(CountFlushes);
  }
  void TearDown() override {
    LocalFs::SetFaultHook(nullptr);
    WireClientTest::TearDown();
  }
  NFS::NSL::NetworkOptions NetworkOptions() const override {
    NFS::NSL::NetworkOptions options;
    options.port = TestSupport::FreeLoopbackPort();
    return options;
  }

  Bytes_t EmptyFile(const char* name) {
    temp_.WriteFile(std::string("export/") + name, "");
    Bytes_t file;
    EXPECT_EQ(Lookup(root_, name, &file), NFS3_OK);
    return file;
  }

  COMMIT3resok Commit(Bytes_t file) {
    COMMIT3args args{Handle(file), 0, 0};
    COMMIT3res result{};
    EXPECT_EQ(nfs_->Call(21, xdr_COMMIT3args, args, xdr_COMMIT3res, result), RPC_SUCCESS);
    EXPECT_EQ(result.status, NFS3_OK);
    const COMMIT3resok ok = result.COMMIT3res_u.resok;
    nfs_->Free(xdr_COMMIT3res, result);
    return ok;
  }
};

class AsyncWritesTest : public StableWriteTest {
 protected:
  NFS::NSL::NetworkOptions NetworkOptions() const override {
    NFS::NSL::NetworkOptions options = StableWriteTest::NetworkOptions();
    options.asyncWrites = true;
    return options;
  }
};

TEST_F(StableWriteTest, EachWriteIsAnsweredWithTheStabilityItReached) {
  const Bytes_t file = EmptyFile("data");

  const WRITE3resok unstable = Write(file, 0, "abc", 3, UNSTABLE);
  EXPECT_EQ(unstable.count, 3u);
  EXPECT_EQ(unstable.committed, UNSTABLE);
  EXPECT_EQ(g_flushes.load(), 0);

  const WRITE3resok dataSync = Write(file, 3, "def", 3, DATA_SYNC);
  EXPECT_EQ(dataSync.count, 3u);
  EXPECT_EQ(dataSync.committed, DATA_SYNC);
  EXPECT_EQ(g_flushes.load(), 1);

  const WRITE3resok fileSync = Write(file, 6, "ghi", 3, FILE_SYNC);
  EXPECT_EQ(fileSync.count, 3u);
  EXPECT_EQ(fileSync.committed, FILE_SYNC);
  EXPECT_EQ(g_flushes.load(), 2);

  EXPECT_EQ(temp_.ReadFile("export/data"), "abcdefghi");

  // COMMIT flushes too, and keeps the writes' verifier: nothing to resend.
  const COMMIT3resok commit = Commit(file);
  EXPECT_EQ(g_flushes.load(), 3);
  EXPECT_EQ(std::memcmp(unstable.verf, dataSync.verf, 8), 0);
  EXPECT_EQ(std::memcmp(unstable.verf, fileSync.verf, 8), 0);
  EXPECT_EQ(std::memcmp(unstable.verf, commit.verf, 8), 0);
}

TEST_F(StableWriteTest, AnUnstableWriteIsReadBackBeforeItsCommit) {
  const Bytes_t file = EmptyFile("pending");
  EXPECT_EQ(Write(file, 0, "pending", 7, UNSTABLE).committed, UNSTABLE);
  EXPECT_EQ(Read(file, 0, 100), std::make_pair(std::string("pending"), true));
  EXPECT_EQ(temp_.ReadFile("export/pending"), "pending");
  EXPECT_EQ(g_flushes.load(), 0);
}

TEST_F(AsyncWritesTest, WritesAreAnsweredStableWithoutAFlush) {
  const Bytes_t file = EmptyFile("data");

  const WRITE3resok unstable = Write(file, 0, "abc", 3, UNSTABLE);
  EXPECT_EQ(unstable.committed, DATA_SYNC);
  const WRITE3resok dataSync = Write(file, 3, "def", 3, DATA_SYNC);
  EXPECT_EQ(dataSync.committed, DATA_SYNC);
  const WRITE3resok fileSync = Write(file, 6, "ghi", 3, FILE_SYNC);
  EXPECT_EQ(fileSync.committed, FILE_SYNC);
  EXPECT_EQ(g_flushes.load(), 0);
  EXPECT_EQ(temp_.ReadFile("export/data"), "abcdefghi");

  // A client that commits anyway still gets its flush.
  const COMMIT3resok commit = Commit(file);
  EXPECT_EQ(g_flushes.load(), 1);
  EXPECT_EQ(std::memcmp(unstable.verf, commit.verf, 8), 0);
}

}  // namespace
