#include "server_lib/providers/ObjectsProviderImpl.h"

#include "host/Assertion.h"
#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"
#include "server_lib/overlay/CachedDirectory.h"

namespace NFS {

std::unique_ptr<ObjectsProvider> CreateObjectsProvider() { return std::make_unique<ObjectsProviderImpl>(); }

std::unique_ptr<ObjectsProvider> CreateStubObjectsProvider() {
  return std::make_unique<StubObjectsProvider>();
}

void ObjectsProviderImpl::OpenRootDir(const Common::WString& share, const std::shared_ptr<DirObject>& root) {
  const auto found = caches_.find(share);
  if (found != caches_.end()) {
    const std::shared_ptr<HandlesCache> cache = found->second;
    caches_.emplace(share, cache);
    Common::Trace(kLogChannel, "Reuse cache for share '{0}'", share);
    return;
  }
  std::shared_ptr<HandlesCache> cache = CreateHandlesCache();
  cache->AddObject(root);
  cache->KeepAlways(root->GetId());
  caches_.emplace(share, std::move(cache));
  Common::Trace(kLogChannel, "Create cache for share '{0}'", share);
}

void ObjectsProviderImpl::CloseRootDir(const Common::WString& share) {
  const auto found = caches_.find(share);
  if (found == caches_.end()) {
    throw Common::Error(ErrorCode::ShareNotMounted, Common::FormatMessage(Messages::ShareNotMounted, share));
  }
  // Kept alive past the erase, so the cache's objects go after the trace.
  const std::shared_ptr<HandlesCache> cache = found->second;
  bool erased = false;
  for (auto it = caches_.begin(); it != caches_.end(); ++it) {
    if (it->second == cache) {
      caches_.erase(it);
      erased = true;
      break;
    }
  }
  if (!erased) COMMON_ASSERT(!"Failed to delete nonexisting cache");
  if (caches_.count(share) == 0) Common::Trace(kLogChannel, "Delete cache for share '{0}'", share);
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
  // Every mount of a share adds an entry holding the same cache: count it once.
  for (auto it = caches_.begin(); it != caches_.end(); it = caches_.upper_bound(it->first)) {
    counts.push_back({it->first, it->second->Count()});
  }
  return counts;
}

}  // namespace NFS
