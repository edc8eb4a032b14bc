#pragma once

#include <memory>

#include "server_lib/cache/AssocHandlesCache.h"
#include "server_lib/cache/MRUHandlesCache.h"

namespace NFS {

// Files (id kind 2) go to the MRU list, everything else to the ordered map.
class DispatchedHandlesCache : public HandlesCache {
 public:
  DispatchedHandlesCache();

  std::shared_ptr<FileSystemObject> GetObject(const ObjectId& id) override;
  void AddObject(const std::shared_ptr<FileSystemObject>& object) override;
  std::shared_ptr<FileSystemObject> DelObject(const ObjectId& id) override;
  void Visit(Visitor& visitor) override;
  void KeepAlways(const ObjectId& id) override { kept_ = id; }
  size_t Count() override { return assoc_->Count() + mru_->Count(); }

 private:
  HandlesCache& For(const ObjectId& id);

  std::unique_ptr<AssocHandlesCache> assoc_;
  std::unique_ptr<MRUHandlesCache> mru_;
  ObjectId kept_;
};

}  // namespace NFS
