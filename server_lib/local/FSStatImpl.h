#pragma once

#include <cstdint>
#include <memory>

#include "localfs/LocalFs.h"
#include "server_lib/objects/FileSystemInfo.h"

namespace NFS {

// Volume sizes read once at construction.
class FSStatImpl : public FSStat {
 public:
  explicit FSStatImpl(LocalFs::LocalDirectoryHandle& folder);

  uint64_t GetTotalBytes() override { return total_; }
  uint64_t GetFreeBytes() override { return free_; }
  uint64_t GetAvailableBytes() override { return available_; }
  uint64_t GetTotalFiles() override;
  uint64_t GetFreeFiles() override { return 0xFFFFFFFFFFFFFFFFULL; }
  uint64_t GetAvailableFiles() override { return 0xFFFFFFFFFFFFFFFFULL; }

 private:
  std::shared_ptr<LocalFs::LocalDirectoryHandle> folder_;
  uint64_t total_ = 0;
  uint64_t free_ = 0;
  uint64_t available_ = 0;
};

}  // namespace NFS
