#pragma once

#include <memory>

#include "server_lib/objects/FileSystemObject.h"
#include "server_lib/virtual/FileContentAccessor.h"
#include "server_lib/virtual/VirtualizedAttributes.h"

namespace NFS {

class VirtualizedFile : public FileObject {
 public:
  VirtualizedFile(Common::WString path, std::shared_ptr<VirtualizedAttributes> attributes,
                  std::shared_ptr<FileContentAccessor> content);
  ~VirtualizedFile() override;

  Common::WString GetPath() override { return path_; }
  ObjectId GetId() override { return id_; }
  std::shared_ptr<AttributesAccessor> GetAttributes() override { return attributes_; }
  std::shared_ptr<AttributesModifier> GetAttributesModifier() override { return attributes_; }

  void Read(uint64_t offset, uint32_t size, uint8_t* buffer, uint32_t& bytesRead) override;
  void Write(uint64_t offset, uint32_t size, const uint8_t* buffer, uint32_t& bytesWritten) override;
  void Commit() override;
  void IOCTL(std::vector<uint8_t>& request) override;

 private:
  Common::WString path_;
  ObjectId id_;
  std::shared_ptr<VirtualizedAttributes> attributes_;
  std::shared_ptr<FileContentAccessor> content_;
};

}  // namespace NFS
