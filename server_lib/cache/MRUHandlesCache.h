#pragma once

#include <array>
#include <list>
#include <string>
#include <unordered_map>
#include <utility>

#include "server_lib/cache/HandlesCache.h"

namespace NFS {

// A list whose front is the most recently found or added file. A found
// entry swaps places with the front entry; the entries between stay put.
// An index from id to list node keeps finding an entry independent of the
// list's length without changing that order.
class MRUHandlesCache : public HandlesCache {
 public:
  std::shared_ptr<FileSystemObject> GetObject(const ObjectId& id) override;
  void AddObject(const std::shared_ptr<FileSystemObject>& object) override;
  std::shared_ptr<FileSystemObject> DelObject(const ObjectId& id) override;
  void Visit(Visitor& visitor) override;
  size_t Count() override { return count_; }

  size_t Size() const { return count_; }

 private:
  // Ids are kept inline, not as vectors of their own: a share may cache a
  // hundred thousand files, and two heap blocks per file add up.
  using Key = std::array<uint8_t, kObjectIdSize>;
  using Entry = std::pair<Key, std::shared_ptr<FileSystemObject>>;
  using Node = std::list<Entry>::iterator;

  struct KeyHash {
    size_t operator()(const Key& key) const noexcept {
      return std::hash<std::string_view>()(std::string_view(reinterpret_cast<const char*>(key.data()), key.size()));
    }
  };

  // False for an id of another length, which no file has.
  static bool KeyOf(const ObjectId& id, Key& key);

  std::list<Entry> entries_;
  std::unordered_map<Key, Node, KeyHash> index_;
  size_t count_ = 0;
};

}  // namespace NFS
