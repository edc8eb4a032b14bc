#include "server_lib/store/LmdbObjectStore.h"

#include <lmdb.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <filesystem>
#include <random>
#include <system_error>

#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"

namespace NFS {
namespace {

constexpr uint8_t kRecordVersion = 1;
// Records the sweep reads in one read transaction, so that no reader lives
// long enough to keep old pages from being reused.
constexpr uint64_t kMinForgetsBeforeSweep = 10000;
// A writer that fell far behind commits its queue in parts of this size, so
// that no transaction grows without bound.
constexpr size_t kPutsPerTxn = 50000;
// Every thread of every process with the folder open may read at once.
constexpr unsigned kMaxReaders = 1024;
constexpr int kMaxGrowths = 16;
constexpr int kMaxAdoptions = 3;

void PutU32(std::string& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>(value >> shift));
}

void PutU64(std::string& out, uint64_t value) {
  for (int shift = 0; shift < 64; shift += 8) out.push_back(static_cast<char>(value >> shift));
}

void PutText(std::string& out, const Common::WString& text) {
  PutU32(out, static_cast<uint32_t>(text.size()));
  for (char16_t unit : text) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
  }
}

class RecordReader {
 public:
  RecordReader(const void* data, size_t size) : next_(static_cast<const uint8_t*>(data)), left_(size) {}

  bool Byte(uint8_t& value) {
    if (left_ < 1) return false;
    value = *next_++;
    --left_;
    return true;
  }
  bool Number(uint64_t& value, size_t bytes) {
    if (left_ < bytes) return false;
    value = 0;
    for (size_t i = 0; i < bytes; ++i) value |= uint64_t{next_[i]} << (8 * i);
    next_ += bytes;
    left_ -= bytes;
    return true;
  }
  bool Text(Common::WString& text) {
    uint64_t units = 0;
    if (!Number(units, 4) || units > left_ / 2) return false;
    text.resize(units);
    for (size_t i = 0; i < units; ++i) text[i] = static_cast<char16_t>(next_[2 * i] | (next_[2 * i + 1] << 8));
    next_ += 2 * units;
    left_ -= 2 * units;
    return true;
  }
  bool AtEnd() const { return left_ == 0; }

 private:
  const uint8_t* next_;
  size_t left_;
};

MDB_val KeyOf(const ObjectId& id) { return MDB_val{id.size(), const_cast<uint8_t*>(id.data())}; }

bool SameBytes(const MDB_val& value, const std::string& bytes) {
  return value.mv_size == bytes.size() && std::memcmp(value.mv_data, bytes.data(), bytes.size()) == 0;
}

// What LMDB says of a store that is not one, or no longer a sound one.
bool IsDamage(int rc) {
  return rc == MDB_INVALID || rc == MDB_CORRUPTED || rc == MDB_VERSION_MISMATCH || rc == MDB_PANIC ||
         rc == MDB_PAGE_NOTFOUND || rc == MDB_INCOMPATIBLE;
}

std::string Describe(int rc) { return mdb_strerror(rc); }

// Makes the folder and its missing parents, each only for this user.
int MakeFolders(const std::string& folder) {
  if (folder.empty()) return ENOENT;
  std::filesystem::path made;
  for (const auto& part : std::filesystem::path(folder)) {
    made /= part;
    if (mkdir(made.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  }
  struct stat status {};
  if (stat(folder.c_str(), &status) != 0) return errno;
  return S_ISDIR(status.st_mode) ? 0 : ENOTDIR;
}

// Opens the environment and checks that what it holds can be read: a data
// file shorter than its pages would fault on the first lookup that reaches
// past its end.
int OpenEnvironment(const std::string& folder, size_t mapSize, MDB_env*& env, MDB_dbi& dbi) {
  int rc = mdb_env_create(&env);
  if (rc != 0) return rc;
  rc = mdb_env_set_mapsize(env, mapSize);
  if (rc == 0) rc = mdb_env_set_maxreaders(env, kMaxReaders);
  // Read transactions are passed between no threads, but lookups come from
  // many: each transaction keeps a reader slot only while it lives.
  if (rc == 0) rc = mdb_env_open(env, folder.c_str(), MDB_NOTLS, 0600);
  // Slots left by killed processes would keep old pages from reuse.
  int stale = 0;
  if (rc == 0) mdb_reader_check(env, &stale);
  MDB_txn* txn = nullptr;
  if (rc == 0) rc = mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn);
  if (rc == 0) {
    rc = mdb_dbi_open(txn, nullptr, 0, &dbi);
    MDB_stat pages{};
    if (rc == 0) rc = mdb_stat(txn, dbi, &pages);
    MDB_envinfo info{};
    struct stat file {};
    if (rc == 0 && mdb_env_info(env, &info) == 0 && ::stat((folder + "/data.mdb").c_str(), &file) == 0 &&
        static_cast<uint64_t>(file.st_size) < (uint64_t{info.me_last_pgno} + 1) * pages.ms_psize) {
      rc = MDB_CORRUPTED;
    }
    // Committed, so that the handle outlives the transaction.
    if (rc == 0) {
      rc = mdb_txn_commit(txn);
    } else {
      mdb_txn_abort(txn);
    }
  }
  if (rc != 0) {
    mdb_env_close(env);
    env = nullptr;
  }
  return rc;
}

// Renames the store's files out of the way; 0 or errno. `moved` names them.
int MoveAside(const std::string& folder, std::string& moved) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  std::string suffix = std::string(".damaged-") + stamp;
  std::error_code ignored;
  for (int n = 2; std::filesystem::exists(folder + "/data.mdb" + suffix, ignored) ||
                  std::filesystem::exists(folder + "/lock.mdb" + suffix, ignored);
       ++n) {
    suffix = std::string(".damaged-") + stamp + "-" + std::to_string(n);
  }
  moved.clear();
  for (const char* name : {"data.mdb", "lock.mdb"}) {
    const std::string from = folder + "/" + name;
    if (std::rename(from.c_str(), (from + suffix).c_str()) != 0) {
      if (errno == ENOENT) continue;
      return errno;
    }
    if (!moved.empty()) moved += ", ";
    moved += "'" + from + suffix + "'";
  }
  if (moved.empty()) moved = "(no files)";
  return 0;
}

}  // namespace

std::string EncodeStoredObject(const StoredObject& object, uint64_t stamp) {
  std::string out;
  out.reserve(2 + 8 + 8 + 2 * (object.share.size() + object.path.size()));
  out.push_back(static_cast<char>(kRecordVersion));
  out.push_back(static_cast<char>(object.kind));
  PutU64(out, stamp);
  PutText(out, object.share);
  PutText(out, object.path);
  return out;
}

bool DecodeStoredObject(const void* data, size_t size, StoredObject& object) {
  RecordReader reader(data, size);
  uint8_t version = 0, kind = 0;
  uint64_t stamp = 0;
  StoredObject decoded;
  if (!reader.Byte(version) || version != kRecordVersion || !reader.Byte(kind) || !reader.Number(stamp, 8) ||
      !reader.Text(decoded.share) || !reader.Text(decoded.path) || !reader.AtEnd()) {
    return false;
  }
  decoded.kind = static_cast<ObjectKind>(kind);
  object = std::move(decoded);
  return true;
}

// A transaction that shares the map with the others of this process, and
// takes up a map another process has grown.
class LmdbObjectStore::Txn {
 public:
  Txn(LmdbObjectStore& store, unsigned flags) {
    for (int attempt = 0;; ++attempt) {
      if (store.resizing_.load(std::memory_order_acquire)) {
        std::lock_guard wait(store.gate_);
      }
      lock_ = std::shared_lock(store.mapLock_);
      rc_ = mdb_txn_begin(store.env_, nullptr, flags, &txn_);
      if (rc_ == 0) return;
      txn_ = nullptr;
      lock_.unlock();
      if (rc_ != MDB_MAP_RESIZED || attempt == kMaxAdoptions || store.Resize(true) != 0) return;
    }
  }
  ~Txn() {
    if (txn_ != nullptr) mdb_txn_abort(txn_);
  }
  Txn(const Txn&) = delete;
  Txn& operator=(const Txn&) = delete;

  int rc() const { return rc_; }
  MDB_txn* get() const { return txn_; }
  int Commit() {
    const int rc = mdb_txn_commit(txn_);
    txn_ = nullptr;
    return rc;
  }

 private:
  std::shared_lock<std::shared_mutex> lock_;
  MDB_txn* txn_ = nullptr;
  int rc_ = 0;
};

namespace {

// LMDB must not have one environment open twice in a process: closing
// either drops the process's locks on it, and another process then takes
// the store for its own alone. A second open of a folder (a second start
// command, say) gets the store that is open already; one being closed is
// waited for.
struct OpenStores {
  std::mutex mutex;
  std::condition_variable closed;
  std::map<std::pair<dev_t, ino_t>, std::weak_ptr<LmdbObjectStore>> stores;
};

OpenStores& Registry() {
  static auto* registry = new OpenStores;  // never destroyed: stores may close late
  return *registry;
}

}  // namespace

Common::Error LmdbObjectStore::Open(const std::string& folder, const Options& options,
                                    std::shared_ptr<LmdbObjectStore>& store) {
  if (const int error = MakeFolders(folder); error != 0) {
    return Common::Error(ErrorCode::ObjectStoreFailed,
                         Common::FormatMessage(Messages::ObjectStoreFolderFailed, folder, std::strerror(error)));
  }
  struct stat where {};
  if (::stat(folder.c_str(), &where) != 0) {
    return Common::Error(ErrorCode::ObjectStoreFailed,
                         Common::FormatMessage(Messages::ObjectStoreFolderFailed, folder, std::strerror(errno)));
  }
  OpenStores& registry = Registry();
  std::unique_lock registered(registry.mutex);
  const std::pair<dev_t, ino_t> key{where.st_dev, where.st_ino};
  for (;;) {
    const auto found = registry.stores.find(key);
    if (found == registry.stores.end()) break;
    if (auto open = found->second.lock()) {
      store = std::move(open);
      return Common::Error::Success();
    }
    registry.closed.wait(registered);
  }
  MDB_env* env = nullptr;
  MDB_dbi dbi = 0;
  int rc = OpenEnvironment(folder, options.mapSize, env, dbi);
  if (IsDamage(rc)) {
    std::string moved;
    if (const int error = MoveAside(folder, moved); error != 0) {
      return Common::Error(
          ErrorCode::ObjectStoreFailed,
          Common::FormatMessage(Messages::ObjectStoreOpenFailed, folder,
                                Describe(rc) + "; its files cannot be moved aside: " + std::strerror(error)));
    }
    Common::Warning(kLogChannel, Messages::ObjectStoreDamaged, folder, Describe(rc), moved);
    rc = OpenEnvironment(folder, options.mapSize, env, dbi);
  }
  if (rc != 0) {
    return Common::Error(ErrorCode::ObjectStoreFailed,
                         Common::FormatMessage(Messages::ObjectStoreOpenFailed, folder, Describe(rc)));
  }
  std::shared_ptr<LmdbObjectStore> opened(new LmdbObjectStore(folder, options, env, dbi));
  opened->key_ = key;
  registry.stores[key] = opened;
  opened->sweepAfterForgets_ = std::max(kMinForgetsBeforeSweep, opened->Count() / 4);
  try {
    opened->thread_ = std::thread([raw = opened.get()] { raw->Run(); });
  } catch (const std::system_error& error) {
    return Common::Error(ErrorCode::ObjectStoreFailed,
                         Common::FormatMessage(Messages::ObjectStoreOpenFailed, folder, error.what()));
  }
  store = std::move(opened);
  return Common::Error();
}

LmdbObjectStore::LmdbObjectStore(std::string folder, const Options& options, MDB_env* env, unsigned int dbi)
    : folder_(std::move(folder)), options_(options), env_(env), dbi_(dbi) {
  // Another process writing the same folder starts from a stamp of its own.
  std::random_device random;
  stamp_ = (uint64_t{random()} << 32) ^ random();
}

LmdbObjectStore::~LmdbObjectStore() {
  if (thread_.joinable()) {
    Flush();
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  mdb_env_close(env_);
  OpenStores& registry = Registry();
  std::lock_guard registered(registry.mutex);
  const auto found = registry.stores.find(key_);
  if (found != registry.stores.end() && found->second.expired()) {
    registry.stores.erase(found);
    registry.closed.notify_all();
  }
}

void LmdbObjectStore::Queue(const ObjectId& id, std::optional<StoredObject> object) {
  const bool forget = !object.has_value();
  bool wake = false, warn = false;
  size_t waiting = 0;
  {
    std::lock_guard lock(mutex_);
    auto found = pending_.find(id);
    if (found != pending_.end()) {
      found->second = std::move(object);
      ++queued_;
    } else if (pending_.size() < options_.maxQueued) {
      if (pending_.empty() && undecodable_.empty()) queuedSince_ = std::chrono::steady_clock::now();
      pending_.emplace(id, std::move(object));
      ++queued_;
      wake = pending_.size() == 1 || pending_.size() == options_.promptBatch + 1;
    } else {
      warn = !std::exchange(dropLogged_, true);
      waiting = pending_.size();
    }
    if (forget && ++forgets_ == sweepAfterForgets_ + 1 && hasCheck_) wake = true;
  }
  if (wake) wake_.notify_one();
  if (warn) Common::Warning(kLogChannel, Messages::ObjectStoreFallingBehind, folder_, waiting);
}

void LmdbObjectStore::Record(const ObjectId& id, const StoredObject& object) {
  if (id.size() == kObjectIdSize) Queue(id, object);
}

void LmdbObjectStore::Forget(const ObjectId& id) {
  if (id.size() == kObjectIdSize) Queue(id, std::nullopt);
}

bool LmdbObjectStore::Find(const ObjectId& id, StoredObject& object) {
  if (id.size() != kObjectIdSize) return false;
  {
    std::lock_guard lock(mutex_);
    for (const Pending* queue : {&pending_, &inFlight_}) {
      const auto found = queue->find(id);
      if (found == queue->end()) continue;
      if (!found->second) return false;
      object = *found->second;
      return true;
    }
  }
  {
    Txn txn(*this, MDB_RDONLY);
    int rc = txn.rc();
    MDB_val key = KeyOf(id), value{};
    if (rc == 0) rc = mdb_get(txn.get(), dbi_, &key, &value);
    if (rc == MDB_NOTFOUND) return false;
    if (rc != 0) {
      ReadFailed(rc);
      return false;
    }
    if (DecodeStoredObject(value.mv_data, value.mv_size, object)) return true;
  }
  // Left for the next batch, which deletes it if it still holds no record.
  {
    std::lock_guard lock(mutex_);
    if (pending_.empty() && undecodable_.empty()) queuedSince_ = std::chrono::steady_clock::now();
    undecodable_.insert(id);
  }
  wake_.notify_one();
  return false;
}

void LmdbObjectStore::Flush() {
  std::unique_lock lock(mutex_);
  const uint64_t target = queued_;
  if (writtenUpTo_ >= target) return;
  flushUpTo_ = std::max(flushUpTo_, target);
  wake_.notify_one();
  written_.wait(lock, [&] { return writtenUpTo_ >= target; });
}

void LmdbObjectStore::SetLivenessCheck(LivenessCheck check) {
  const bool set = static_cast<bool>(check);
  {
    // Waits for a running check: the caller may destroy what it refers to
    // as soon as this returns.
    std::lock_guard hold(checkMutex_);
    check_.swap(check);
  }
  {
    std::lock_guard lock(mutex_);
    hasCheck_ = set;
    sweepRequested_ = set;
  }
  if (set) wake_.notify_one();
}

uint64_t LmdbObjectStore::Count() {
  Txn txn(*this, MDB_RDONLY);
  int rc = txn.rc();
  MDB_stat stat{};
  if (rc == 0) rc = mdb_stat(txn.get(), dbi_, &stat);
  if (rc != 0) {
    ReadFailed(rc);
    return 0;
  }
  return stat.ms_entries;
}

void LmdbObjectStore::Run() {
  // Clients first: on a busy machine the batches wait for a spare moment
  // (the queue is bounded, and a full one is written at once anyway).
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
  std::unique_lock lock(mutex_);
  for (;;) {
    const bool queued = !pending_.empty() || !undecodable_.empty();
    const auto due = queuedSince_ + options_.batchDelay;
    if (queued && (stop_ || flushUpTo_ > writtenUpTo_ || pending_.size() > options_.promptBatch ||
                   std::chrono::steady_clock::now() >= due)) {
      inFlight_.swap(pending_);
      std::set<ObjectId> undecodable;
      undecodable.swap(undecodable_);
      const uint64_t upTo = queued_;
      dropLogged_ = false;
      lock.unlock();
      // Lookups read inFlight_ meanwhile; only this thread changes it, and
      // only under the lock.
      WriteBatch(inFlight_, undecodable);
      ReleaseMappedPages();
      lock.lock();
      inFlight_.clear();
      writtenUpTo_ = upTo;
      written_.notify_all();
      continue;
    }
    if (stop_) return;
    if (hasCheck_ && (sweepRequested_ || (!sweep_.active && forgets_ > sweepAfterForgets_))) {
      sweepRequested_ = false;
      forgets_ = 0;
      sweep_ = Sweep{};
      sweep_.active = true;
    }
    if (sweep_.active && hasCheck_) {
      lock.unlock();
      SweepSlice();
      ReleaseMappedPages();
      lock.lock();
      // Clients come first: each slice's check holds the server's lock, so
      // the sweep takes it for a moment now and then.
      if (sweep_.active && !stop_) wake_.wait_for(lock, options_.sweepPause);
      continue;
    }
    sweep_.active = false;
    if (queued) {
      wake_.wait_until(lock, due);
    } else {
      wake_.wait(lock);
    }
  }
}

void LmdbObjectStore::ReleaseMappedPages() {
  // The map's pages count as the process's memory once read, and a sweep
  // or a year of batches reads them all: a store of ten million ids would
  // look like gigabytes held. They are the file's, so letting them go costs
  // at most a fault that finds them in the page cache again. A batch maps
  // far more than it touches (the kernel maps the cached pages around each
  // one read), so this follows every batch and every slice of a sweep.
  // LMDB does not tell where its map lies (unless fixed), so the process's
  // own map list does, by the data file's inode.
  struct stat data {};
  if (::stat((folder_ + "/data.mdb").c_str(), &data) != 0) return;
  std::shared_lock lock(mapLock_);
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    unsigned long long begin = 0, end = 0, inode = 0;
    char permissions[8] = {};
    if (std::sscanf(line.c_str(), "%llx-%llx %7s %*s %*s %llu", &begin, &end, permissions, &inode) != 4) continue;
    if (inode != static_cast<unsigned long long>(data.st_ino) || permissions[3] != 's') continue;
    madvise(reinterpret_cast<void*>(begin), static_cast<size_t>(end - begin), MADV_DONTNEED);
  }
}

int LmdbObjectStore::Resize(bool adopt) {
  std::lock_guard gate(gate_);
  resizing_.store(true, std::memory_order_release);
  int rc = 0;
  {
    std::unique_lock exclusive(mapLock_);
    MDB_envinfo info{};
    rc = adopt ? mdb_env_set_mapsize(env_, 0) : mdb_env_info(env_, &info);
    if (!adopt && rc == 0) rc = mdb_env_set_mapsize(env_, info.me_mapsize * 2);
  }
  resizing_.store(false, std::memory_order_release);
  return rc;
}

template <typename Work>
int LmdbObjectStore::Write(Work work) {
  int rc = 0;
  for (int attempt = 0; attempt <= kMaxGrowths; ++attempt) {
    {
      Txn txn(*this, 0);
      rc = txn.rc();
      if (rc == 0) rc = work(txn.get());
      if (rc == 0) rc = txn.Commit();
    }
    if (rc != MDB_MAP_FULL || Resize(false) != 0) break;
  }
  return rc;
}

void LmdbObjectStore::WriteBatch(const Pending& batch, const std::set<ObjectId>& undecodable) {
  auto next = batch.begin();
  do {
    const auto begin = next;
    for (size_t n = 0; next != batch.end() && n < kPutsPerTxn; ++n) ++next;
    const auto end = next;
    const bool first = begin == batch.begin();
    // One stamp per transaction: a sweep that finds another stamp than the
    // one it read knows the record was written again since.
    const uint64_t stamp = ++stamp_;
    const int rc = Write([&](MDB_txn* txn) {
      for (auto change = begin; change != end; ++change) {
        MDB_val key = KeyOf(change->first);
        int status = 0;
        if (change->second) {
          // The same record again (a restarted server walking the paths
          // its clients hold) costs no page; while a sweep runs, the new
          // stamp tells it that the id was handed out again.
          MDB_val stored{};
          StoredObject old;
          if (!sweep_.active && mdb_get(txn, dbi_, &key, &stored) == 0 &&
              DecodeStoredObject(stored.mv_data, stored.mv_size, old) && old.kind == change->second->kind &&
              old.share == change->second->share && old.path == change->second->path) {
            continue;
          }
          std::string bytes = EncodeStoredObject(*change->second, stamp);
          MDB_val value{bytes.size(), bytes.data()};
          status = mdb_put(txn, dbi_, &key, &value, 0);
        } else {
          status = mdb_del(txn, dbi_, &key, nullptr);
          if (status == MDB_NOTFOUND) status = 0;
        }
        if (status != 0) return status;
      }
      if (!first) return 0;
      for (const ObjectId& id : undecodable) {
        MDB_val key = KeyOf(id), value{};
        StoredObject ignored;
        int status = mdb_get(txn, dbi_, &key, &value);
        if (status == 0 && !DecodeStoredObject(value.mv_data, value.mv_size, ignored)) {
          status = mdb_del(txn, dbi_, &key, nullptr);
        }
        if (status != 0 && status != MDB_NOTFOUND) return status;
      }
      return 0;
    });
    if (rc != 0) {
      WriteFailed(rc, static_cast<size_t>(std::distance(begin, end)));
    } else {
      writeFailureLogged_ = false;
    }
  } while (next != batch.end());
}

uint64_t LmdbObjectStore::DeleteUnchanged(const std::vector<std::pair<ObjectId, std::string>>& records) {
  if (records.empty()) return 0;
  uint64_t removed = 0;
  const int rc = Write([&](MDB_txn* txn) {
    removed = 0;
    for (const auto& [id, bytes] : records) {
      MDB_val key = KeyOf(id), value{};
      int status = mdb_get(txn, dbi_, &key, &value);
      if (status == MDB_NOTFOUND) continue;
      if (status == 0 && SameBytes(value, bytes)) {
        status = mdb_del(txn, dbi_, &key, nullptr);
        ++removed;
      }
      if (status != 0) return status;
    }
    return 0;
  });
  if (rc != 0) {
    WriteFailed(rc, records.size());
    return 0;
  }
  return removed;
}

void LmdbObjectStore::SweepSlice() {
  std::vector<std::pair<ObjectId, StoredObject>> slice;
  std::vector<std::string> bytes;                       // as read, beside each of the slice
  std::vector<std::pair<ObjectId, std::string>> dead;  // with the bytes they held
  size_t seen = 0;
  {
    Txn txn(*this, MDB_RDONLY);
    int rc = txn.rc();
    MDB_cursor* cursor = nullptr;
    if (rc == 0) rc = mdb_cursor_open(txn.get(), dbi_, &cursor);
    MDB_val key{}, value{};
    if (rc == 0 && sweep_.after) {
      key = KeyOf(*sweep_.after);
      rc = mdb_cursor_get(cursor, &key, &value, MDB_SET_RANGE);
      if (rc == 0 && key.mv_size == sweep_.after->size() &&
          std::memcmp(key.mv_data, sweep_.after->data(), key.mv_size) == 0) {
        rc = mdb_cursor_get(cursor, &key, &value, MDB_NEXT);
      }
    } else if (rc == 0) {
      rc = mdb_cursor_get(cursor, &key, &value, MDB_FIRST);
    }
    for (; rc == 0 && seen < options_.sweepSlice; ++seen) {
      const auto* keyBytes = static_cast<const uint8_t*>(key.mv_data);
      ObjectId id(keyBytes, keyBytes + key.mv_size);
      std::string raw(static_cast<const char*>(value.mv_data), value.mv_size);
      StoredObject object;
      if (DecodeStoredObject(value.mv_data, value.mv_size, object)) {
        slice.emplace_back(id, std::move(object));
        bytes.push_back(std::move(raw));
      } else {
        dead.emplace_back(id, std::move(raw));
      }
      sweep_.after = std::move(id);
      rc = mdb_cursor_get(cursor, &key, &value, MDB_NEXT);
    }
    if (cursor != nullptr) mdb_cursor_close(cursor);
    if (rc != 0 && rc != MDB_NOTFOUND) {
      ReadFailed(rc);
      sweep_.active = false;
      return;
    }
  }
  if (seen == 0) {
    Common::Notice(kLogChannel, Messages::ObjectStoreSwept, folder_, sweep_.kept, sweep_.removed);
    sweep_.active = false;
    std::lock_guard lock(mutex_);
    sweepAfterForgets_ = std::max(kMinForgetsBeforeSweep, sweep_.kept / 4);
    return;
  }
  if (!slice.empty()) {
    std::vector<bool> alive;
    {
      std::lock_guard hold(checkMutex_);
      if (!check_) {
        sweep_.active = false;
        return;
      }
      try {
        alive = check_(slice);
      } catch (const std::exception& error) {
        Common::Warning(kLogChannel, Messages::ObjectStoreCheckFailed, folder_, error.what());
        sweep_.active = false;
        return;
      } catch (...) {
        Common::Warning(kLogChannel, Messages::ObjectStoreCheckFailed, folder_, "an exception of no known type");
        sweep_.active = false;
        return;
      }
    }
    // A check that answers for fewer records keeps the rest.
    for (size_t i = 0; i < slice.size() && i < alive.size(); ++i) {
      if (!alive[i]) dead.emplace_back(std::move(slice[i].first), std::move(bytes[i]));
    }
  }
  const uint64_t removed = DeleteUnchanged(dead);
  sweep_.removed += removed;
  sweep_.kept += seen - removed;
}

void LmdbObjectStore::ReadFailed(int rc) {
  if (!readFailureLogged_.exchange(true)) {
    Common::Warning(kLogChannel, Messages::ObjectStoreUnreadable, folder_, Describe(rc));
  }
}

void LmdbObjectStore::WriteFailed(int rc, size_t lost) {
  if (!std::exchange(writeFailureLogged_, true)) {
    Common::Warning(kLogChannel, Messages::ObjectStoreWriteFailed, folder_, Describe(rc), lost);
  }
}

Common::Error OpenObjectStore(const std::string& folder, std::shared_ptr<ObjectStore>& store) {
  std::shared_ptr<LmdbObjectStore> opened;
  Common::Error error = LmdbObjectStore::Open(folder, LmdbObjectStore::Options{}, opened);
  if (error.IsSuccess()) store = std::move(opened);
  return error;
}

}  // namespace NFS
