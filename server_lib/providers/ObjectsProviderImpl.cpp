#include "server_lib/providers/ObjectsProviderImpl.h"

#include "host/Logging.h"
#include "server_lib/cache/BoundedHandlesCache.h"
#include "server_lib/core/ServerErrors.h"
#include "server_lib/overlay/CachedDirectory.h"
#include "server_lib/store/ObjectStore.h"

namespace NFS {

std::unique_ptr<ObjectsProvider> CreateObjectsProvider(std::shared_ptr<ObjectStore> store, size_t capacity) {
  return std::make_unique<ObjectsProviderImpl>(std::move(store), capacity);
}

std::unique_ptr<ObjectsProvider> CreateStubObjectsProvider() {
  return std::make_unique<StubObjectsProvider>();
}

void ObjectsProviderImpl::OpenRootDir(const Common::WString& share, const std::shared_ptr<DirObject>& root) {
  if (shares_.count(share) != 0) return;
  auto cache = std::make_shared<BoundedHandlesCache>(CreateHandlesCache(), capacity_, store_, share);
  cache->AddObject(root);
  cache->KeepAlways(root->GetId());
  shares_.emplace(share, Share{std::move(cache), root});
  Common::Trace(kLogChannel, "Create cache for share '{0}'", share);
}

std::shared_ptr<FileSystemObject> ObjectsProviderImpl::Wrapped(std::shared_ptr<FileSystemObject> object,
                                                               const std::shared_ptr<HandlesCache>& cache) {
  if (auto dir = std::dynamic_pointer_cast<DirObject>(object)) {
    return std::make_shared<CachedDirectory>(std::move(dir), cache);
  }
  return object;
}

std::shared_ptr<FileSystemObject> ObjectsProviderImpl::GetObject(const ObjectId& id) {
  for (const auto& [name, share] : shares_) {
    if (std::shared_ptr<FileSystemObject> object = share.cache->GetObject(id)) {
      ++counters_.hits;
      return Wrapped(std::move(object), share.cache);
    }
  }
  std::shared_ptr<FileSystemObject> object = Resolve(id);
  ++(object ? counters_.resolved : counters_.stale);
  return object;
}

namespace {

// The names below the root, or false for a path that is not beneath it or
// has a part no lookup takes ("", ".", "..").
bool SplitBelow(const Common::WString& root, const Common::WString& path, std::vector<Common::WString>& names) {
  if (path.size() <= root.size() + 1 || path.compare(0, root.size(), root) != 0 || path[root.size()] != u'/') {
    return false;
  }
  size_t begin = root.size() + 1;
  for (;;) {
    const size_t end = std::min(path.find(u'/', begin), path.size());
    Common::WString name = path.substr(begin, end - begin);
    if (name.empty() || name == u"." || name == u"..") return false;
    names.push_back(std::move(name));
    if (end == path.size()) return true;
    begin = end + 1;
  }
}

}  // namespace

std::shared_ptr<FileSystemObject> ObjectsProviderImpl::Walk(const Share& share, const Common::WString& path,
                                                            bool cached) {
  std::vector<Common::WString> names;
  if (!SplitBelow(share.root->GetPath(), path, names)) return nullptr;
  // Each step is a client's LOOKUP of one name: no links, nothing beyond a
  // mount point, no way above the root.
  std::shared_ptr<DirObject> dir = share.root;
  if (cached) dir = std::make_shared<CachedDirectory>(dir, share.cache);
  std::shared_ptr<FileSystemObject> object;
  for (size_t i = 0; i < names.size(); ++i) {
    try {
      object = dir->Lookup(names[i]);
    } catch (const Common::Error&) {
      return nullptr;
    }
    if (!object || i + 1 == names.size()) break;
    dir = std::dynamic_pointer_cast<DirObject>(object);
    if (!dir) return nullptr;
    if (cached) dir = std::make_shared<CachedDirectory>(dir, share.cache);
  }
  return object;
}

std::shared_ptr<FileSystemObject> ObjectsProviderImpl::Resolve(const ObjectId& id) {
  StoredObject stored;
  if (!store_ || !IsValidObjectId(id) || !store_->Find(id, stored)) return nullptr;
  // Another share's object is not this share's, whatever its path.
  const auto share = shares_.find(stored.share);
  if (share == shares_.end()) return nullptr;
  std::shared_ptr<FileSystemObject> object;
  if (GetObjectKind(id) == stored.kind) object = Walk(share->second, stored.path, true);
  // Another object now stands at that path, or none does: the handle is
  // stale, and the record with it.
  if (!object || object->GetId() != id) {
    Common::Trace(kLogChannel, "Stale handle {0} (stored path '{1}')", IdText(id), stored.path);
    store_->Forget(id);
    return nullptr;
  }
  Common::Trace(kLogChannel, "Resolved handle {0} by its stored path '{1}'", IdText(id), stored.path);
  return Wrapped(std::move(object), share->second.cache);
}

bool ObjectsProviderImpl::IsLive(const StoredObject& stored) {
  const auto share = shares_.find(stored.share);
  if (share == shares_.end()) return false;
  if (stored.path == share->second.root->GetPath()) return stored.kind == kDirectoryKind;
  std::shared_ptr<FileSystemObject> object = Walk(share->second, stored.path, false);
  if (!object) return false;
  return (std::dynamic_pointer_cast<DirObject>(object) != nullptr) == (stored.kind == kDirectoryKind);
}

std::shared_ptr<FileSystemObject> ObjectsProviderImpl::ForgetObject(const ObjectId& id) {
  for (const auto& [name, share] : shares_) {
    if (auto object = share.cache->DelObject(id)) return object;
  }
  return nullptr;
}

std::vector<CachedObjects> ObjectsProviderImpl::CountObjects() {
  std::vector<CachedObjects> counts;
  for (const auto& [name, share] : shares_) counts.push_back({name, share.cache->Count()});
  return counts;
}

CacheCounters ObjectsProviderImpl::GetCounters() {
  CacheCounters counters = counters_;
  counters.capacity = capacity_;
  counters.evicted = 0;
  for (const auto& [name, share] : shares_) counters.evicted += share.cache->CountEvicted();
  return counters;
}

}  // namespace NFS
