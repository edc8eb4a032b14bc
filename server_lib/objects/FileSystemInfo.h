#pragma once

#include <cstdint>

namespace NFS {

class FSInfo {
 public:
  virtual ~FSInfo() = default;
  virtual uint64_t GetMaxFileSize() = 0;
};

class FSStat {
 public:
  virtual ~FSStat() = default;
  virtual uint64_t GetTotalBytes() = 0;
  virtual uint64_t GetFreeBytes() = 0;
  virtual uint64_t GetAvailableBytes() = 0;
  virtual uint64_t GetTotalFiles() = 0;
  virtual uint64_t GetFreeFiles() = 0;
  virtual uint64_t GetAvailableFiles() = 0;
};

}  // namespace NFS
