#pragma once

#include <memory>

#include "server_lib/core/ObjectId.h"
#include "server_lib/objects/FileSystemObject.h"

namespace NFS {

// Maps the ids a share has handed out to the live objects they name. No
// size limit: entries leave only when deleted or with the whole cache.
class HandlesCache {
 public:
  class Visitor {
   public:
    virtual ~Visitor() = default;
    virtual void VisitObject(const std::shared_ptr<FileSystemObject>& object) = 0;
  };

  virtual ~HandlesCache() = default;
  virtual std::shared_ptr<FileSystemObject> GetObject(const ObjectId& id) = 0;
  // Stored under the object's own id; an id already present keeps its object.
  virtual void AddObject(const std::shared_ptr<FileSystemObject>& object) = 0;
  virtual std::shared_ptr<FileSystemObject> DelObject(const ObjectId& id) = 0;
  // An object no DelObject removes: the share root, which every handle of
  // the share leads back to.
  virtual void KeepAlways(const ObjectId& /*id*/) {}
  virtual void Visit(Visitor& visitor) = 0;
  // The objects held now.
  virtual size_t Count() = 0;
};

// Directories in an ordered map, files in a most-recently-found list.
std::shared_ptr<HandlesCache> CreateHandlesCache();

}  // namespace NFS
