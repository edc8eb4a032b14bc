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
};

std::unique_ptr<ObjectsProvider> CreateObjectsProvider();
// Opens nothing and finds nothing, until a root is set.
std::unique_ptr<ObjectsProvider> CreateStubObjectsProvider();

}  // namespace NFS
