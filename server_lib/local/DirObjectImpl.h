#pragma once

#include <memory>

#include "localfs/LocalFs.h"
#include "server_lib/objects/FileSystemObject.h"

namespace NFS {

class DirObjectImpl : public DirObject, public DirEntriesEnumeratorsProvider::IteratorSource {
 public:
  // `rootLength` is the length of the share root's path: the object whose
  // path is that long is the share root and has no parent.
  DirObjectImpl(Common::WString path, std::shared_ptr<LocalFs::LocalDirectoryHandle> local,
                size_t rootLength);
  ~DirObjectImpl() override;

  Common::WString GetPath() override;
  ObjectId GetId() override;
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

  Common::WString GetSourceName() override;
  std::unique_ptr<DirectoryIterator> CreateIterator() override;

 private:
  bool IsShareRoot() const { return path_.size() <= rootLength_; }
  // Computes the id of `name` together with those of other entries here.
  void RememberWithSiblings(const Common::WString& name, ObjectKind kind);

  Common::WString path_;
  size_t rootLength_;
  ObjectId id_;  // computed once: the digest is deliberately slow
  std::shared_ptr<LocalFs::LocalDirectoryHandle> local_;
  std::unique_ptr<DirEntriesEnumeratorsProvider> enumerators_;
};

}  // namespace NFS
