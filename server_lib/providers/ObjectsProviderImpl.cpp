#include "server_lib/providers/ObjectsProviderImpl.h"

#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"
#include "server_lib/overlay/CachedDirectory.h"

namespace NFS {

std::unique_ptr<ObjectsProvider> CreateObjectsProvider() { return std::make_unique<ObjectsProviderImpl>(); }

std::unique_ptr<ObjectsProvider> CreateStubObjectsProvider() {
  return std::make_unique<StubObjectsProvider>();
}

void ObjectsProviderImpl::OpenRootDir(const Common::WString& share, const std::shared_ptr<DirObject>& root) {
  if (caches_.count(share) != 0) return;
  std::shared_ptr<HandlesCache> cache = CreateHandlesCache();
  cache->AddObject(root);
  cache->KeepAlways(root->GetId());
  caches_.emplace(share, std::move(cache));
  Common::Trace(kLogChannel, "Create cache for share '{0}'", share);
}

std::shared_ptr<FileSystemObject> ObjectsProviderImpl::GetObject(const ObjectId& id) {
  for (const auto& [share, cache] : caches_) {
    std::shared_ptr<FileSystemObject> object = cache->GetObject(id);
    if (!object) continue;
    if (auto dir = std::dynamic_pointer_cast<DirObject>(object)) {
      return std::make_shared<CachedDirectory>(std::move(dir), cache);
    }
    return object;
  }
  return nullptr;
}

std::shared_ptr<FileSystemObject> ObjectsProviderImpl::ForgetObject(const ObjectId& id) {
  for (const auto& [share, cache] : caches_) {
    if (auto object = cache->DelObject(id)) return object;
  }
  return nullptr;
}

std::vector<CachedObjects> ObjectsProviderImpl::CountObjects() {
  std::vector<CachedObjects> counts;
  for (const auto& [share, cache] : caches_) counts.push_back({share, cache->Count()});
  return counts;
}

}  // namespace NFS
