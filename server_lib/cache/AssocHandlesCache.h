#pragma once

#include <map>

#include "server_lib/cache/HandlesCache.h"

namespace NFS {

// Ordered by unsigned byte comparison, shorter id first on a common prefix.
class AssocHandlesCache : public HandlesCache {
 public:
  std::shared_ptr<FileSystemObject> GetObject(const ObjectId& id) override;
  void AddObject(const std::shared_ptr<FileSystemObject>& object) override;
  std::shared_ptr<FileSystemObject> DelObject(const ObjectId& id) override;
  void Visit(Visitor& visitor) override;
  size_t Count() override { return objects_.size(); }

 private:
  std::map<ObjectId, std::shared_ptr<FileSystemObject>> objects_;
};

}  // namespace NFS
