#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "host/Strings.h"
#include "server_lib/cache/HandlesCache.h"
#include "server_lib/objects/FileSystemObject.h"

namespace NFS {

struct CachedObjects {
  Common::WString share;
  uint64_t objects = 0;
};

// How the caches have answered, across shares, since the provider was made.
struct CacheCounters {
  uint64_t capacity = 0;  // objects per share; 0 for no limit
  uint64_t hits = 0;      // ids found in memory
  uint64_t resolved = 0;  // ids not in memory, found again through the store
  uint64_t stale = 0;     // ids neither could resolve
  uint64_t evicted = 0;   // objects let go to keep within the capacity
};

class ObjectStore;
struct StoredObject;

// Remembers, per exported share, every object the server has handed out an
// id for, so that later requests carrying the id find it again.
class ObjectsProvider {
 public:
  virtual ~ObjectsProvider() = default;
  // Starts the share's cache with its root; a share that has one keeps it.
  virtual void OpenRootDir(const Common::WString& share, const std::shared_ptr<DirObject>& root) = 0;
  // Directories come back wrapped so that their changes keep the cache current.
  virtual std::shared_ptr<FileSystemObject> GetObject(const ObjectId& id) = 0;
  virtual std::shared_ptr<FileSystemObject> ForgetObject(const ObjectId& id) = 0;
  // One entry per share with a cache, in share name order.
  virtual std::vector<CachedObjects> CountObjects() = 0;
  virtual CacheCounters GetCounters() = 0;
  // Whether an object of the stored kind still stands at the stored path
  // of a share held here; caches nothing.
  virtual bool IsLive(const StoredObject& stored) = 0;
};

// Without a store, ids live only as long as the caches hold them.
// `capacity` 0: the caches never let an object go.
std::unique_ptr<ObjectsProvider> CreateObjectsProvider(std::shared_ptr<ObjectStore> store = nullptr,
                                                       size_t capacity = 0);
// Opens nothing and finds nothing, until a root is set.
std::unique_ptr<ObjectsProvider> CreateStubObjectsProvider();

}  // namespace NFS
