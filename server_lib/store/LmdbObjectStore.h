#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "server_lib/store/ObjectStore.h"

struct MDB_env;
struct MDB_txn;

namespace NFS {

// The record of one id as the store writes it: a version byte, the kind, a
// stamp that differs from one write to the next (so that a sweep can tell a
// record written again since it read it), then the share and the path as
// UTF-16 code units, each after its length.
std::string EncodeStoredObject(const StoredObject& object, uint64_t stamp);
// False for bytes that are no record of this version.
bool DecodeStoredObject(const void* data, size_t size, StoredObject& object);

// The store on LMDB: one environment in the folder, the id as key. Writes
// are queued and committed by the store's own thread, one synced
// transaction per batch; other processes may use the same folder at once.
class LmdbObjectStore : public ObjectStore {
 public:
  struct Options {
    // Address space mapped at first; the file itself grows only as needed,
    // and the map doubles when it is full.
    size_t mapSize = size_t{1} << 30;
    // How long the first queued change waits for others to join its batch.
    std::chrono::milliseconds batchDelay{1000};
    // A queue this long is written at once, so that its memory stays small.
    size_t promptBatch = 1000;
    // Beyond this the writer has fallen far behind: new records are dropped.
    size_t maxQueued = 1000000;
    // The sweep checks this many records at a time, and rests this long
    // between slices: a few milliseconds of the server's lock each tenth
    // of a second (about 600 records a second, 100 000 in three minutes).
    size_t sweepSlice = 64;
    std::chrono::milliseconds sweepPause{100};
  };

  static Common::Error Open(const std::string& folder, const Options& options,
                            std::shared_ptr<LmdbObjectStore>& store);
  ~LmdbObjectStore() override;
  LmdbObjectStore(const LmdbObjectStore&) = delete;
  LmdbObjectStore& operator=(const LmdbObjectStore&) = delete;

  void Record(const ObjectId& id, const StoredObject& object) override;
  bool Find(const ObjectId& id, StoredObject& object) override;
  void Forget(const ObjectId& id) override;
  void Flush() override;
  // The check must not call Flush or SetLivenessCheck: it runs on the
  // thread they wait for.
  void SetLivenessCheck(LivenessCheck check) override;
  uint64_t Count() override;

 private:
  class Txn;
  struct Sweep {
    bool active = false;
    std::optional<ObjectId> after;  // the last key of the previous slice
    uint64_t kept = 0;
    uint64_t removed = 0;
  };
  // Queued change of one id: a record, or nothing for a forget.
  using Pending = std::map<ObjectId, std::optional<StoredObject>>;

  LmdbObjectStore(std::string folder, const Options& options, MDB_env* env, unsigned int dbi);

  void Run();
  void WriteBatch(const Pending& batch, const std::set<ObjectId>& undecodable);
  void SweepSlice();
  // Deletes each key whose value is still these bytes; how many it deleted.
  uint64_t DeleteUnchanged(const std::vector<std::pair<ObjectId, std::string>>& records);
  // Runs `work` in a write transaction, growing the map while it is full.
  // LMDB's code of the last failure, 0 when committed.
  template <typename Work>
  int Write(Work work);
  // Doubles the map, or with `adopt` takes the size another process grew
  // it to. LMDB's code.
  int Resize(bool adopt);
  void ReleaseMappedPages();
  void ReadFailed(int rc);
  void WriteFailed(int rc, size_t lost);
  // Queues a record, or a forget when `object` is empty.
  void Queue(const ObjectId& id, std::optional<StoredObject> object);

  const std::string folder_;
  // The folder's device and inode: the process's one store of it.
  std::pair<dev_t, ino_t> key_{};
  const Options options_;
  MDB_env* const env_;
  const unsigned int dbi_;

  // Transactions share the map; growing it needs none open in this
  // process. Readers wait at the gate while a resize waits for them to end,
  // so that a steady stream of lookups cannot hold it off.
  std::shared_mutex mapLock_;
  std::mutex gate_;
  std::atomic<bool> resizing_{false};

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable written_;
  Pending pending_;
  Pending inFlight_;                // taken by the writer, not committed yet
  std::set<ObjectId> undecodable_;  // keys seen holding no record; deleted if still so
  std::chrono::steady_clock::time_point queuedSince_;
  uint64_t queued_ = 0;       // changes queued so far
  uint64_t writtenUpTo_ = 0;  // of those, the ones the writer is done with
  uint64_t flushUpTo_ = 0;    // the ones a Flush waits for
  bool stop_ = false;
  bool dropLogged_ = false;
  bool hasCheck_ = false;
  bool sweepRequested_ = false;
  uint64_t forgets_ = 0;  // since the last sweep began
  uint64_t sweepAfterForgets_ = 0;
  Sweep sweep_;  // the store thread's own

  std::mutex checkMutex_;  // held while the check runs
  LivenessCheck check_;

  std::atomic<bool> readFailureLogged_{false};
  bool writeFailureLogged_ = false;  // the store thread's own
  uint64_t stamp_ = 0;               // the store thread's own
  std::thread thread_;
};

}  // namespace NFS
