#pragma once

#include <cstdint>
#include <string_view>

#include "localfs/LocalFs.h"
#include "server_lib/objects/FileSystemInfo.h"

namespace NFS {

class FSInfoImpl : public FSInfo {
 public:
  // Asks the folder which file system holds it.
  explicit FSInfoImpl(LocalFs::LocalDirectoryHandle& folder);
  explicit FSInfoImpl(uint32_t fileSystemType) : type_(fileSystemType) {}

  // Exact, case-sensitive names; 0 for any other.
  static uint32_t FileSystemTypeFromName(std::string_view name);
  static uint64_t MaxFileSizeOf(uint32_t fileSystemType);

  uint32_t GetFileSystemType() const { return type_; }
  uint64_t GetMaxFileSize() override;

 private:
  uint32_t type_ = 0;
};

}  // namespace NFS
