#pragma once

#include <memory>

#include "server_lib/objects/FileSystemObject.h"
#include "server_lib/virtual/VirtualFolder.h"

namespace NFS {

// The virtual part of one directory: the live file map of its folder.
class VirtualizedDir : public DirObject, public DirEntriesEnumeratorsProvider::IteratorSource {
 public:
  VirtualizedDir(Common::WString path, std::shared_ptr<VirtualFileMap> files,
                 std::shared_ptr<VirtualTableLock> lock);
  ~VirtualizedDir() override;

  Common::WString GetPath() override { return path_; }
  ObjectId GetId() override { return id_; }
  std::shared_ptr<AttributesAccessor> GetAttributes() override;
  std::shared_ptr<AttributesModifier> GetAttributesModifier() override;

  std::unique_ptr<FSInfo> GetFSInfo() override;
  std::unique_ptr<FSStat> GetFSStat() override;
  std::shared_ptr<DirEntriesEnumerator> GetEnumerator(uint64_t id) override;
  std::shared_ptr<FileSystemObject> Lookup(const Common::WString& name) override;
  void CreateFile(const Common::WString& name) override;
  void CreateDir(const Common::WString& name) override;
  void DeleteFile(const Common::WString& name) override;
  void DeleteDir(const Common::WString& name) override;
  void Rename(const Common::WString& from, const Common::WString& to) override;

  Common::WString GetSourceName() override { return path_; }
  std::unique_ptr<DirectoryIterator> CreateIterator() override;

 private:
  [[noreturn]] void ThrowNotRegistered(const Common::WString& name);

  Common::WString path_;
  ObjectId id_;
  std::shared_ptr<VirtualFileMap> files_;
  std::shared_ptr<VirtualTableLock> lock_;
  std::unique_ptr<DirEntriesEnumeratorsProvider> enumerators_;
};

}  // namespace NFS
