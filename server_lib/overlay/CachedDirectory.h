#pragma once

#include <memory>
#include <vector>

#include "server_lib/cache/HandlesCache.h"
#include "server_lib/core/ObjectId.h"
#include "server_lib/objects/FileSystemObject.h"
#include "server_lib/overlay/ForwardingDirectory.h"

namespace NFS {

// A directory of a mounted share that enters every object it hands out in
// the share's handle cache and takes objects out before they are deleted or
// renamed. Holds the cache weakly: once the share is gone it only forwards.
class CachedDirectory : public ForwardingDirectory {
 public:
  CachedDirectory(std::shared_ptr<DirObject> base, std::weak_ptr<HandlesCache> cache);

  std::shared_ptr<DirEntriesEnumerator> GetEnumerator(uint64_t id) override;
  std::shared_ptr<FileSystemObject> Lookup(const Common::WString& name) override;
  void DeleteFile(const Common::WString& name) override;
  void DeleteDir(const Common::WString& name) override;
  void Rename(const Common::WString& from, const Common::WString& to) override;

 private:
  std::weak_ptr<HandlesCache> cache_;
};

// Enters the object behind each listed entry in the cache when its id is
// asked for, so that a handle made from a READDIRPLUS entry resolves later.
class CachedDirEntriesEnumerator : public DirEntriesEnumerator {
 public:
  CachedDirEntriesEnumerator(std::weak_ptr<HandlesCache> cache, std::shared_ptr<DirObject> directory,
                             std::shared_ptr<DirEntriesEnumerator> inner);
  // Computes the ids of the entries stepped over, in one batch: a client
  // that reads a listing looks its entries up right after.
  ~CachedDirEntriesEnumerator() override;

  uint64_t GetId() override { return inner_->GetId(); }
  bool IsValid() override { return inner_->IsValid(); }
  Common::WString GetName() override { return inner_->GetName(); }
  std::shared_ptr<AttributesAccessor> GetAttributes() override { return inner_->GetAttributes(); }
  ObjectId GetEntryId() override;
  uint32_t GetCookie() override { return inner_->GetCookie(); }
  void Next() override;
  void Seek(uint32_t position) override { inner_->Seek(position); }

 private:
  std::weak_ptr<HandlesCache> cache_;
  std::shared_ptr<DirObject> directory_;
  std::shared_ptr<DirEntriesEnumerator> inner_;
  std::vector<ObjectIdRequest> listed_;
};

}  // namespace NFS
