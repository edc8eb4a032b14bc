#pragma once

#include <map>

#include "server_lib/providers/ObjectsProvider.h"

namespace NFS {

class BoundedHandlesCache;

class ObjectsProviderImpl : public ObjectsProvider {
 public:
  ObjectsProviderImpl(std::shared_ptr<ObjectStore> store, size_t capacity)
      : store_(std::move(store)), capacity_(capacity) {}

  void OpenRootDir(const Common::WString& share, const std::shared_ptr<DirObject>& root) override;
  std::shared_ptr<FileSystemObject> GetObject(const ObjectId& id) override;
  std::shared_ptr<FileSystemObject> ForgetObject(const ObjectId& id) override;
  std::vector<CachedObjects> CountObjects() override;
  CacheCounters GetCounters() override;
  bool IsLive(const StoredObject& stored) override;

 private:
  struct Share {
    std::shared_ptr<BoundedHandlesCache> cache;
    std::shared_ptr<DirObject> root;
  };

  std::shared_ptr<FileSystemObject> Wrapped(std::shared_ptr<FileSystemObject> object,
                                            const std::shared_ptr<HandlesCache>& cache);
  // The object the store remembers for the id, walked to again from its
  // share's root as a client's lookups would; empty when that walk does not
  // end at an object with this very id.
  std::shared_ptr<FileSystemObject> Resolve(const ObjectId& id);
  // Looks the path's names up one by one from the share's root, through
  // its cache (every object passed is cached) or not.
  std::shared_ptr<FileSystemObject> Walk(const Share& share, const Common::WString& path, bool cached);

  std::shared_ptr<ObjectStore> store_;
  size_t capacity_;
  std::map<Common::WString, Share> shares_;
  CacheCounters counters_;
};

class StubObjectsProvider : public ObjectsProvider {
 public:
  void OpenRootDir(const Common::WString&, const std::shared_ptr<DirObject>&) override {}
  std::shared_ptr<FileSystemObject> GetObject(const ObjectId&) override { return nullptr; }
  std::shared_ptr<FileSystemObject> ForgetObject(const ObjectId&) override { return nullptr; }
  std::vector<CachedObjects> CountObjects() override { return {}; }
  CacheCounters GetCounters() override { return {}; }
  bool IsLive(const StoredObject&) override { return false; }
};

}  // namespace NFS
