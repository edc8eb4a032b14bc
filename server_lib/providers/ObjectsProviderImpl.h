#pragma once

#include <map>

#include "server_lib/providers/ObjectsProvider.h"

namespace NFS {

class ObjectsProviderImpl : public ObjectsProvider {
 public:
  void OpenRootDir(const Common::WString& share, const std::shared_ptr<DirObject>& root) override;
  void CloseRootDir(const Common::WString& share) override;
  std::shared_ptr<FileSystemObject> GetObject(const ObjectId& id) override;
  std::shared_ptr<FileSystemObject> ForgetObject(const ObjectId& id) override;

 private:
  // One entry per active mount; all entries of a name hold the same cache.
  std::multimap<Common::WString, std::shared_ptr<HandlesCache>> caches_;
};

class StubObjectsProvider : public ObjectsProvider {
 public:
  void OpenRootDir(const Common::WString&, const std::shared_ptr<DirObject>&) override {}
  void CloseRootDir(const Common::WString&) override {}
  std::shared_ptr<FileSystemObject> GetObject(const ObjectId&) override { return nullptr; }
  std::shared_ptr<FileSystemObject> ForgetObject(const ObjectId&) override { return nullptr; }
};

// Collects the ids of the objects at or beneath a path.
class NestedObjectsFilter : public HandlesCache::Visitor {
 public:
  explicit NestedObjectsFilter(Common::WString basePath) : basePath_(std::move(basePath)) {}
  void VisitObject(const std::shared_ptr<FileSystemObject>& object) override;
  const std::vector<ObjectId>& GetIds() const { return ids_; }

 private:
  Common::WString basePath_;
  std::vector<ObjectId> ids_;
};

}  // namespace NFS
