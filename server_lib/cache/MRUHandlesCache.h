#pragma once

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
  using Entry = std::pair<ObjectId, std::shared_ptr<FileSystemObject>>;
  using Node = std::list<Entry>::iterator;

  struct IdHash {
    size_t operator()(const ObjectId& id) const noexcept {
      return std::hash<std::string_view>()(
          std::string_view(reinterpret_cast<const char*>(id.data()), id.size()));
    }
  };

  std::list<Entry> entries_;
  std::unordered_map<ObjectId, Node, IdHash> index_;
  size_t count_ = 0;
};

}  // namespace NFS
