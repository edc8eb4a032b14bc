#pragma once

#include <map>

#include "server_lib/providers/ObjectsProvider.h"

namespace NFS {

class ObjectsProviderImpl : public ObjectsProvider {
 public:
  void OpenRootDir(const Common::WString& share, const std::shared_ptr<DirObject>& root) override;
  std::shared_ptr<FileSystemObject> GetObject(const ObjectId& id) override;
  std::shared_ptr<FileSystemObject> ForgetObject(const ObjectId& id) override;
  std::vector<CachedObjects> CountObjects() override;

 private:
  std::map<Common::WString, std::shared_ptr<HandlesCache>> caches_;
};

class StubObjectsProvider : public ObjectsProvider {
 public:
  void OpenRootDir(const Common::WString&, const std::shared_ptr<DirObject>&) override {}
  std::shared_ptr<FileSystemObject> GetObject(const ObjectId&) override { return nullptr; }
  std::shared_ptr<FileSystemObject> ForgetObject(const ObjectId&) override { return nullptr; }
  std::vector<CachedObjects> CountObjects() override { return {}; }
};

}  // namespace NFS
