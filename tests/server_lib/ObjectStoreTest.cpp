#include <gtest/gtest.h>
#include <lmdb.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"
#include "server_lib/store/LmdbObjectStore.h"
#include "tests/support/TempDir.h"
#include "tests/support/Waiting.h"

namespace {

using NFS::LmdbObjectStore;
using NFS::ObjectId;
using NFS::StoredObject;
using namespace std::chrono_literals;

// Made up rather than digested: the store takes any 17 bytes.
ObjectId Id(uint32_t n) {
  ObjectId id(NFS::kObjectIdSize, 0xA5);
  id[0] = NFS::kFileKind;
  for (int i = 0; i < 4; ++i) id[1 + i] = static_cast<uint8_t>(n >> (24 - 8 * i));
  return id;
}

StoredObject Object(uint32_t n, size_t padding = 0) {
  return StoredObject{u"share", NFS::kFileKind,
                      u"share/dir/" + std::u16string(padding, u'p') + Common::Widen(std::to_string(n))};
}

// Batches wait for Flush (or for a full queue) only.
LmdbObjectStore::Options Held() {
  LmdbObjectStore::Options options;
  options.batchDelay = std::chrono::hours(1);
  return options;
}

bool Has(LmdbObjectStore& store, uint32_t n, size_t padding = 0) {
  StoredObject found;
  return store.Find(Id(n), found) && found.path == Object(n, padding).path;
}

// The notices of sweeps logged so far.
std::vector<std::string> Sweeps(const Common::ScopedLogCapture& log) {
  std::vector<std::string> sweeps;
  for (const auto& line : log.Texts(Common::kNotice, NFS::kLogChannel)) {
    if (line.starts_with("Swept")) sweeps.push_back(line);
  }
  return sweeps;
}

// The test's own view of the data file, as another process would write it.
int PutRaw(const std::string& folder, const ObjectId& id, const std::string& bytes) {
  MDB_env* env = nullptr;
  MDB_txn* txn = nullptr;
  MDB_dbi dbi = 0;
  int rc = mdb_env_create(&env);
  if (rc == 0) rc = mdb_env_set_maxreaders(env, 1024);
  if (rc == 0) rc = mdb_env_open(env, folder.c_str(), MDB_NOTLS, 0600);
  if (rc == 0) rc = mdb_txn_begin(env, nullptr, 0, &txn);
  if (rc == 0) rc = mdb_dbi_open(txn, nullptr, 0, &dbi);
  MDB_val key{id.size(), const_cast<uint8_t*>(id.data())};
  MDB_val value{bytes.size(), const_cast<char*>(bytes.data())};
  if (rc == 0) rc = mdb_put(txn, dbi, &key, &value, 0);
  if (rc == 0) {
    rc = mdb_txn_commit(txn);
  } else if (txn != nullptr) {
    mdb_txn_abort(txn);
  }
  mdb_env_close(env);
  return rc;
}

// A child process that runs `body` and exits with what it returns; it
// never returns into the test.
template <typename Body>
pid_t Spawn(Body body) {
  const pid_t pid = fork();
  if (pid == 0) {
    int code = 99;
    try {
      code = body();
    } catch (...) {
    }
    _exit(code);
  }
  return pid;
}

int ExitCode(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

class ObjectStoreTest : public ::testing::Test {
 protected:
  std::shared_ptr<LmdbObjectStore> Open(const LmdbObjectStore::Options& options = {}) {
    std::shared_ptr<LmdbObjectStore> store;
    const Common::Error error = LmdbObjectStore::Open(folder_, options, store);
    EXPECT_TRUE(error.IsSuccess()) << error.Describe();
    return store;
  }

  TestSupport::TempDir temp_;
  const std::string folder_ = (temp_.Path() / "state" / "ids").string();
};

TEST_F(ObjectStoreTest, RecordsOutliveTheStoreAndForgetsRemoveThem) {
  // Names as clients may send them: a NUL, a lone surrogate, a pair.
  static constexpr char16_t kShare[] = u"sh\0are";
  static constexpr char16_t kPath[] = u"sh\0are/\xD800/\U0001F600/";
  const StoredObject odd{std::u16string(kShare, std::size(kShare) - 1), NFS::kDirectoryKind,
                         std::u16string(kPath, std::size(kPath) - 1)};
  {
    auto store = Open(Held());
    ASSERT_TRUE(store);
    for (uint32_t n = 0; n < 3; ++n) store->Record(Id(n), Object(n));
    store->Record(Id(9), odd);
    store->Record(ObjectId{1, 2, 3}, Object(3));  // no id: ignored
    // Found while only queued.
    EXPECT_TRUE(Has(*store, 1));
    EXPECT_EQ(store->Count(), 0u);
    store->Flush();
    EXPECT_EQ(store->Count(), 4u);
    StoredObject found;
    EXPECT_FALSE(store->Find(ObjectId{1, 2, 3}, found));

    // A queued forget hides the record on disk until the batch removes it.
    store->Forget(Id(2));
    EXPECT_FALSE(Has(*store, 2));
    EXPECT_EQ(store->Count(), 4u);
    store->Flush();
    EXPECT_EQ(store->Count(), 3u);
    EXPECT_FALSE(Has(*store, 2));
    store->Record(Id(5), Object(5));  // written when the store goes away
  }
  struct stat folder {}, parent {};
  ASSERT_EQ(stat(folder_.c_str(), &folder), 0);
  ASSERT_EQ(stat((temp_.Path() / "state").c_str(), &parent), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
  EXPECT_EQ(parent.st_mode & 0777, 0700u);

  std::shared_ptr<NFS::ObjectStore> reopened;
  ASSERT_TRUE(NFS::OpenObjectStore(folder_, reopened).IsSuccess());
  EXPECT_EQ(reopened->Count(), 4u);
  StoredObject found;
  ASSERT_TRUE(reopened->Find(Id(9), found));
  EXPECT_EQ(found.share, odd.share);
  EXPECT_EQ(found.kind, NFS::kDirectoryKind);
  EXPECT_EQ(found.path, odd.path);
  ASSERT_TRUE(reopened->Find(Id(5), found));
  EXPECT_EQ(found.path, Object(5).path);
  EXPECT_FALSE(reopened->Find(Id(2), found));
}

TEST_F(ObjectStoreTest, BatchesAreWrittenWithoutFlushAndTheQueueIsBounded) {
  {
    // The default delay: written within about a second.
    auto store = Open();
    store->Record(Id(1), Object(1));
    EXPECT_TRUE(TestSupport::WaitUntil([&] { return store->Count() == 1; }, 30s));
  }
  auto options = Held();
  options.promptBatch = 10;
  options.maxQueued = 20;
  auto store = Open(options);
  for (uint32_t n = 100; n < 111; ++n) store->Record(Id(n), Object(n));
  EXPECT_TRUE(TestSupport::WaitUntil([&] { return store->Count() == 12; }, 30s)) << "a long queue waits for no timer";

  // A writer far behind: new ids are dropped, with one warning.
  options.promptBatch = 1000;
  store.reset();
  store = Open(options);
  Common::ScopedLogCapture log;
  for (uint32_t n = 200; n < 230; ++n) store->Record(Id(n), Object(n));
  store->Record(Id(200), Object(200));  // already queued: still taken
  EXPECT_TRUE(Has(*store, 219));
  EXPECT_FALSE(Has(*store, 220));
  const auto warnings = log.Texts(Common::kWarning, NFS::kLogChannel);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("20 changes wait"), std::string::npos) << warnings[0];
  store->Flush();
  EXPECT_EQ(store->Count(), 32u);
}

TEST_F(ObjectStoreTest, AFullMapGrows) {
  auto options = Held();
  options.mapSize = 64 * 1024;
  {
    auto store = Open(options);
    for (uint32_t n = 0; n < 3000; ++n) store->Record(Id(n), Object(n, 300));
    store->Flush();
    EXPECT_EQ(store->Count(), 3000u);
  }
  auto store = Open(options);
  EXPECT_EQ(store->Count(), 3000u);
  StoredObject found;
  ASSERT_TRUE(store->Find(Id(2999), found));
  EXPECT_EQ(found.path, Object(2999, 300).path);
}

// A process killed while it writes loses only what it had not flushed, and
// leaves a store that opens without complaint.
TEST_F(ObjectStoreTest, AKilledWriterLosesOnlyWhatItHadNotFlushed) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = Spawn([&] {
    close(ready[0]);
    std::shared_ptr<LmdbObjectStore> store;
    if (LmdbObjectStore::Open(folder_, {}, store).IsFailure()) return 2;
    for (uint32_t round = 0;; ++round) {
      for (uint32_t n = round * 500; n < round * 500 + 500; ++n) store->Record(Id(n), Object(n, 40));
      store->Flush();
      if (write(ready[1], "f", 1) != 1) return 3;
    }
  });
  ASSERT_GT(child, 0);
  close(ready[1]);
  char flushed = 0;
  for (int round = 0; round < 3; ++round) ASSERT_EQ(read(ready[0], &flushed, 1), 1);
  // Killed amid its next rounds: recording, or committing one.
  ASSERT_EQ(kill(child, SIGKILL), 0);
  EXPECT_EQ(ExitCode(child), -SIGKILL);
  close(ready[0]);

  Common::ScopedLogCapture log;
  auto store = Open();
  ASSERT_TRUE(store);
  EXPECT_TRUE(log.Texts(Common::kWarning, NFS::kLogChannel).empty());
  EXPECT_GE(store->Count(), 1500u);
  for (uint32_t n = 0; n < 1500; ++n) ASSERT_TRUE(Has(*store, n, 40)) << n;
  store->Record(Id(90000), Object(90000));
  store->Flush();
  EXPECT_TRUE(Has(*store, 90000));
}

TEST_F(ObjectStoreTest, ADamagedStoreIsMovedAsideAndAnUnusableFolderFails) {
  std::filesystem::create_directories(folder_);
  const std::string garbage(20000, 'g');
  std::ofstream(folder_ + "/data.mdb", std::ios::binary) << garbage;
  {
    Common::ScopedLogCapture log;
    auto store = Open();
    ASSERT_TRUE(store);
    const auto warnings = log.Texts(Common::kWarning, NFS::kLogChannel);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find(folder_), std::string::npos) << warnings[0];
    EXPECT_NE(warnings[0].find("data.mdb.damaged-"), std::string::npos) << warnings[0];
    store->Record(Id(1), Object(1));
    store->Flush();
    EXPECT_EQ(store->Count(), 1u);
  }
  int aside = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
    if (entry.path().filename().string().starts_with("data.mdb.damaged-")) {
      ++aside;
      std::ifstream in(entry.path(), std::ios::binary);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), garbage);
    }
  }
  EXPECT_EQ(aside, 1);

  // A data file cut short would fault on a lookup past its end.
  {
    auto store = Open(Held());
    for (uint32_t n = 0; n < 2000; ++n) store->Record(Id(n), Object(n, 100));
  }
  std::filesystem::resize_file(folder_ + "/data.mdb", std::filesystem::file_size(folder_ + "/data.mdb") / 2);
  {
    Common::ScopedLogCapture log;
    auto store = Open();
    ASSERT_TRUE(store);
    EXPECT_EQ(log.Texts(Common::kWarning, NFS::kLogChannel).size(), 1u);
    EXPECT_EQ(store->Count(), 0u);
  }

  temp_.WriteFile("file", "x");
  const std::string unusable = (temp_.Path() / "file" / "ids").string();
  std::shared_ptr<NFS::ObjectStore> store;
  const Common::Error error = NFS::OpenObjectStore(unusable, store);
  ASSERT_TRUE(error.IsFailure());
  EXPECT_EQ(error.Code(), NFS::ErrorCode::ObjectStoreFailed);
  EXPECT_NE(Common::ToUtf8(error.Message()).find(unusable), std::string::npos) << error.Describe();
  EXPECT_FALSE(store);
}

TEST_F(ObjectStoreTest, RecordsThatDoNotDecodeAreMissesAndGoWithTheNextBatch) {
  {
    auto store = Open(Held());
    for (uint32_t n = 0; n < 4; ++n) store->Record(Id(n), Object(n));
  }
  std::string future = NFS::EncodeStoredObject(Object(2), 1);
  future[0] = 2;  // a version this build does not know
  ASSERT_EQ(PutRaw(folder_, Id(1), "short"), 0);
  ASSERT_EQ(PutRaw(folder_, Id(2), future), 0);
  std::string trailing = NFS::EncodeStoredObject(Object(3), 1) + "x";
  ASSERT_EQ(PutRaw(folder_, Id(3), trailing), 0);

  auto store = Open(Held());
  EXPECT_TRUE(Has(*store, 0));
  for (uint32_t n = 1; n < 4; ++n) EXPECT_FALSE(Has(*store, n)) << n;
  EXPECT_EQ(store->Count(), 4u);
  store->Record(Id(3), Object(3));  // recorded again: kept
  store->Flush();
  EXPECT_EQ(store->Count(), 2u);
  EXPECT_TRUE(Has(*store, 3));
}

TEST_F(ObjectStoreTest, TheSweepRemovesWhatTheCheckCallsDead) {
  auto store = Open(Held());
  for (uint32_t n = 0; n < 1000; ++n) store->Record(Id(n), Object(n));
  store->Flush();

  Common::ScopedLogCapture log;
  std::map<ObjectId, int> checked;
  std::atomic<int> sweeps{0};
  bool first = true;
  store->SetLivenessCheck([&](const std::vector<std::pair<ObjectId, StoredObject>>& slice) {
    if (first) {
      first = false;
      // Both dead by this check, and both written again meanwhile: by this
      // process (queued), and by another (on disk, with bytes of its own).
      store->Record(Id(0), Object(0));
      const pid_t other = Spawn([&] { return PutRaw(folder_, Id(2), NFS::EncodeStoredObject(Object(2), 7)); });
      if (ExitCode(other) != 0) ADD_FAILURE() << "the other writer failed";
    }
    std::vector<bool> alive;
    for (const auto& [id, object] : slice) {
      ++checked[id];
      EXPECT_EQ(object.path, Object(id[4] | (id[3] << 8)).path);
      alive.push_back(id[4] % 2 == 1);
    }
    if (slice.back().first == Id(999)) ++sweeps;
    return alive;
  });
  ASSERT_TRUE(TestSupport::WaitUntil([&] { return !Sweeps(log).empty(); }, 60s));
  EXPECT_NE(Sweeps(log)[0].find("kept 501 records, removed 499."), std::string::npos) << Sweeps(log)[0];
  EXPECT_EQ(checked.size(), 1000u);
  for (const auto& [id, times] : checked) EXPECT_EQ(times, 1);
  store->Flush();
  EXPECT_EQ(store->Count(), 502u);
  EXPECT_TRUE(Has(*store, 0));
  EXPECT_TRUE(Has(*store, 2));
  EXPECT_FALSE(Has(*store, 4));
  EXPECT_TRUE(Has(*store, 5));

  // Many forgets bring another sweep.
  for (uint32_t n = 0; n <= 10000; ++n) store->Forget(Id(100000 + n));
  ASSERT_TRUE(TestSupport::WaitUntil([&] { return sweeps == 2; }, 60s));

  // Reset while a check runs: waits for it to end, and no call follows.
  std::atomic<bool> entered{false}, running{false};
  std::atomic<int> calls{0};
  store->SetLivenessCheck([&](const std::vector<std::pair<ObjectId, StoredObject>>& slice) {
    running = true;
    ++calls;
    entered = true;
    std::this_thread::sleep_for(100ms);
    running = false;
    return std::vector<bool>(slice.size(), true);
  });
  ASSERT_TRUE(TestSupport::WaitUntil([&] { return entered.load(); }, 60s));
  store->SetLivenessCheck({});
  EXPECT_FALSE(running);
  const int made = calls;
  for (uint32_t n = 0; n <= 10000; ++n) store->Forget(Id(200000 + n));
  store->Flush();
  EXPECT_EQ(calls, made);
}

TEST_F(ObjectStoreTest, ThreadsRecordAndFindWhileTheWriterCommitsAndGrowsTheMap) {
  LmdbObjectStore::Options options;
  options.mapSize = 64 * 1024;
  options.batchDelay = 1ms;
  options.promptBatch = 50;
  auto store = Open(options);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (uint32_t i = 0; i < 600; ++i) {
        const uint32_t n = t * 10000 + i;
        store->Record(Id(n), Object(n, 200));
        if (!Has(*store, n, 200)) ++failures;
        if (i % 3 == 0) {
          store->Forget(Id(n));
          StoredObject found;
          if (store->Find(Id(n), found)) ++failures;
        }
        if (i % 100 == 0) store->Count();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
  store->Flush();
  EXPECT_EQ(store->Count(), 4u * 400);
}

// Two processes with the folder open at once see each other's records.
TEST_F(ObjectStoreTest, TwoProcessesShareTheFolder) {
  int ready[2], go[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(go), 0);
  const pid_t child = Spawn([&] {
    std::shared_ptr<LmdbObjectStore> store;
    if (LmdbObjectStore::Open(folder_, Held(), store).IsFailure()) return 2;
    for (uint32_t n = 1000; n < 1100; ++n) store->Record(Id(n), Object(n));
    store->Flush();
    char byte = 'r';
    if (write(ready[1], &byte, 1) != 1 || read(go[0], &byte, 1) != 1) return 3;
    for (uint32_t n = 0; n < 100; ++n) {
      if (!Has(*store, n)) return 4;
    }
    store->Record(Id(2000), Object(2000));
    return 0;  // written as the store closes
  });
  ASSERT_GT(child, 0);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  auto store = Open(Held());
  for (uint32_t n = 1000; n < 1100; ++n) ASSERT_TRUE(Has(*store, n)) << n;
  for (uint32_t n = 0; n < 100; ++n) store->Record(Id(n), Object(n));
  store->Flush();
  ASSERT_EQ(write(go[1], "g", 1), 1);
  EXPECT_EQ(ExitCode(child), 0);
  EXPECT_EQ(store->Count(), 201u);
  EXPECT_TRUE(Has(*store, 2000));
  for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
}

}  // namespace

namespace {

// A second open of the folder in this process (a second start command)
// shares the store that is open: LMDB must not have it open twice.
TEST_F(ObjectStoreTest, ASecondOpenInTheProcessSharesTheStore) {
  auto first = Open();
  ASSERT_TRUE(first);
  std::shared_ptr<NFS::ObjectStore> second;
  ASSERT_TRUE(NFS::OpenObjectStore(folder_ + "/.", second).IsSuccess());
  EXPECT_EQ(second.get(), first.get());
  first->Record(Id(1), Object(1));
  second.reset();
  first.reset();
  // Closed for good: the next open is a store of its own, with the record.
  auto again = Open();
  ASSERT_TRUE(again);
  EXPECT_TRUE(Has(*again, 1));
}

}  // namespace
