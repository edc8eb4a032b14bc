#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

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

  // A new file with "abc", "def" and "ghi" written UNSTABLE, DATA_SYNC and
  // FILE_SYNC: each answer, with the flushes counted once it came.
  struct Answer {
    WRITE3resok write;
    int flushes;
  };
  std::vector<Answer> WriteOneOfEach(const char* name, Bytes_t& file) {
    file = EmptyFile(name);
    std::vector<Answer> answers;
    const std::pair<const char*, stable_how> writes[] = {{"abc", UNSTABLE}, {"def", DATA_SYNC}, {"ghi", FILE_SYNC}};
    for (const auto& [data, stable] : writes) {
      const WRITE3resok answer = Write(file, answers.size() * 3, data, 3, stable);
      EXPECT_EQ(answer.count, 3u);
      answers.push_back({answer, g_flushes.load()});
    }
    EXPECT_EQ(temp_.ReadFile(std::string("export/") + name), "abcdefghi");
    return answers;
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
  Bytes_t file;
  const std::vector<Answer> answers = WriteOneOfEach("data", file);
  ASSERT_EQ(answers.size(), 3u);
  // An unstable write is not flushed; each stable one is, before its answer.
  const stable_how committed[] = {UNSTABLE, DATA_SYNC, FILE_SYNC};
  for (size_t i = 0; i < answers.size(); ++i) {
    EXPECT_EQ(answers[i].write.committed, committed[i]) << i;
    EXPECT_EQ(answers[i].flushes, static_cast<int>(i)) << i;
  }

  // COMMIT flushes too, and keeps the writes' verifier: nothing to resend.
  const COMMIT3resok commit = Commit(file);
  EXPECT_EQ(g_flushes.load(), 3);
  for (const Answer& answer : answers) EXPECT_EQ(std::memcmp(answer.write.verf, commit.verf, 8), 0);
}

TEST_F(StableWriteTest, AnUnstableWriteIsReadBackBeforeItsCommit) {
  const Bytes_t file = EmptyFile("pending");
  EXPECT_EQ(Write(file, 0, "pending", 7, UNSTABLE).committed, UNSTABLE);
  EXPECT_EQ(Read(file, 0, 100), std::make_pair(std::string("pending"), true));
  EXPECT_EQ(temp_.ReadFile("export/pending"), "pending");
  EXPECT_EQ(g_flushes.load(), 0);
}

TEST_F(AsyncWritesTest, WritesAreAnsweredStableWithoutAFlush) {
  Bytes_t file;
  const std::vector<Answer> answers = WriteOneOfEach("data", file);
  ASSERT_EQ(answers.size(), 3u);
  // The unstable write is answered as if it had reached the disk.
  const stable_how committed[] = {DATA_SYNC, DATA_SYNC, FILE_SYNC};
  for (size_t i = 0; i < answers.size(); ++i) {
    EXPECT_EQ(answers[i].write.committed, committed[i]) << i;
    EXPECT_EQ(answers[i].flushes, 0) << i;
  }

  // A client that commits anyway still gets its flush.
  const COMMIT3resok commit = Commit(file);
  EXPECT_EQ(g_flushes.load(), 1);
  EXPECT_EQ(std::memcmp(answers[0].write.verf, commit.verf, 8), 0);
}

}  // namespace
