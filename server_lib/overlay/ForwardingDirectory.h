#pragma once

#include <memory>

#include "server_lib/objects/FileSystemObject.h"

namespace NFS {

// The part the directory decorators share: path, id, attributes, file-system
// data and creation are those of the decorated directory.
class ForwardingDirectory : public DirObject {
 public:
  explicit ForwardingDirectory(std::shared_ptr<DirObject> base) : base_(std::move(base)) {}

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

 protected:
  std::shared_ptr<DirObject> base_;
};

}  // namespace NFS
