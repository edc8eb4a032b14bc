#pragma once

#include <array>
#include <cstdint>
#include <list>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "server_lib/cache/HandlesCache.h"
#include "server_lib/store/ObjectStore.h"

namespace NFS {

// Holds at most `capacity` objects of a share in the cache it wraps,
// letting the least recently used go first, and records every id it is
// given in the store (when there is one), so that an id that has left the
// memory can still be resolved by its path. Kept however old: the share
// root, any object something else still holds (an operation in progress,
// a file's open content) and directories a client is in the middle of
// listing. An id deleted from the cache is forgotten by the store too.
class BoundedHandlesCache : public HandlesCache {
 public:
  BoundedHandlesCache(std::shared_ptr<HandlesCache> inner, size_t capacity, std::shared_ptr<ObjectStore> store,
                      Common::WString share);

  std::shared_ptr<FileSystemObject> GetObject(const ObjectId& id) override;
  void AddObject(const std::shared_ptr<FileSystemObject>& object) override;
  std::shared_ptr<FileSystemObject> DelObject(const ObjectId& id) override;
  void KeepAlways(const ObjectId& id) override;
  void Visit(Visitor& visitor) override { inner_->Visit(visitor); }
  size_t Count() override { return inner_->Count(); }

  // Objects let go to keep within the capacity, since the cache was made.
  uint64_t CountEvicted() const { return evicted_; }

 private:
  using Key = std::array<uint8_t, kObjectIdSize>;
  // The cache's own reference, to tell whether anything else holds it.
  using Entry = std::pair<Key, std::shared_ptr<FileSystemObject>>;
  struct KeyHash {
    size_t operator()(const Key& key) const noexcept {
      return std::hash<std::string_view>()(std::string_view(reinterpret_cast<const char*>(key.data()), key.size()));
    }
  };

  static bool KeyOf(const ObjectId& id, Key& key);
  bool InUse(const Entry& entry);
  void Trim();

  std::shared_ptr<HandlesCache> inner_;
  size_t capacity_;
  std::shared_ptr<ObjectStore> store_;
  Common::WString share_;
  std::list<Entry> recency_;  // most recently used first
  std::unordered_map<Key, std::list<Entry>::iterator, KeyHash> index_;
  Key kept_{};
  bool hasKept_ = false;
  uint64_t evicted_ = 0;
};

}  // namespace NFS
