#pragma once

#include <memory>
#include <vector>

#include "host/Strings.h"
#include "server_lib/cache/HandlesCache.h"

namespace NFS {

// Cache upkeep through a weak reference: skipped once the share's cache is
// gone. The cached directories keep their share's cache current with these,
// and the objects provider owns the caches they act on.
void AddToCache(const std::weak_ptr<HandlesCache>& cache, const std::shared_ptr<FileSystemObject>& object);
void RemoveFromCache(const std::weak_ptr<HandlesCache>& cache, const ObjectId& id);
// The object and every cached object whose path lies beneath it.
void RemoveNested(const std::weak_ptr<HandlesCache>& cache, FileSystemObject& object);

// Collects the ids of the objects at or beneath a path.
class NestedObjectsFilter : public HandlesCache::Visitor {
 public:
  explicit NestedObjectsFilter(Common::WString basePath) : basePath_(std::move(basePath)) {}
  void VisitObject(const std::shared_ptr<FileSystemObject>& object) override;
  const std::vector<ObjectId>& GetIds() const { return ids_; }

 private:
  Common::WString basePath_;
  std::vector<ObjectId> ids_;
};

}  // namespace NFS
