#include "server_lib/cache/CacheUpkeep.h"

namespace NFS {

void NestedObjectsFilter::VisitObject(const std::shared_ptr<FileSystemObject>& object) {
  const Common::WString path = object->GetPath();
  const bool beneath = path.size() > basePath_.size() && path.compare(0, basePath_.size(), basePath_) == 0 &&
                       path[basePath_.size()] == u'/';
  if (path == basePath_ || beneath) ids_.push_back(object->GetId());
}

void AddToCache(const std::weak_ptr<HandlesCache>& cache, const std::shared_ptr<FileSystemObject>& object) {
  if (auto alive = cache.lock()) alive->AddObject(object);
}

void RemoveFromCache(const std::weak_ptr<HandlesCache>& cache, const ObjectId& id) {
  if (auto alive = cache.lock()) alive->DelObject(id);
}

void RemoveNested(const std::weak_ptr<HandlesCache>& cache, FileSystemObject& object) {
  NestedObjectsFilter filter(object.GetPath());
  if (auto alive = cache.lock()) {
    alive->Visit(filter);
    for (const ObjectId& id : filter.GetIds()) alive->DelObject(id);
  }
}

}  // namespace NFS
