#pragma once

#include <memory>

#include "server_lib/objects/FileSystemObject.h"
#include "server_lib/objects/MixinDirectoryProvider.h"

namespace NFS {

// A directory that shows, beside its own entries, the overlay the provider
// has for its path, at every depth. The first overlay found is kept.
class MixinDirectory : public DirObject {
 public:
  MixinDirectory(std::shared_ptr<DirObject> base, std::shared_ptr<MixinDirectoryProvider> provider);

  Common::WString GetPath() override { return base_->GetPath(); }
  ObjectId GetId() override { return base_->GetId(); }
  std::shared_ptr<AttributesAccessor> GetAttributes() override { return base_->GetAttributes(); }
  std::shared_ptr<AttributesModifier> GetAttributesModifier() override {
    return base_->GetAttributesModifier();
  }
  std::unique_ptr<FSInfo> GetFSInfo() override { return base_->GetFSInfo(); }
  std::unique_ptr<FSStat> GetFSStat() override { return base_->GetFSStat(); }
  void CreateFile(const Common::WString& name) override { base_->CreateFile(name); }
  void CreateDir(const Common::WString& name) override { base_->CreateDir(name); }

  std::shared_ptr<DirEntriesEnumerator> GetEnumerator(uint64_t id) override;
  std::shared_ptr<FileSystemObject> Lookup(const Common::WString& name) override;
  void DeleteFile(const Common::WString& name) override;
  void DeleteDir(const Common::WString& name) override;
  void Rename(const Common::WString& from, const Common::WString& to) override;

 private:
  DirObject& Effective();

  std::shared_ptr<DirObject> base_;
  std::shared_ptr<MixinDirectoryProvider> provider_;
  std::shared_ptr<DirObject> combined_;
};

}  // namespace NFS
