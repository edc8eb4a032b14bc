#pragma once

#include <atomic>
#include <cstdint>

#include "server_lib/objects/Attributes.h"

namespace NFS {

// The attributes of a virtual file: a fixed size, a random file id, one time
// for all three stamps, and a mode and owner that SETATTR may change.
class VirtualizedAttributes : public AttributesAccessor, public AttributesModifier {
 public:
  explicit VirtualizedAttributes(uint64_t size);

  uint32_t GetType() override { return ObjectTypeCode::RegularFile; }
  uint32_t GetMode() override { return mode_; }
  uint32_t GetLinksCount() override { return 1; }
  uint32_t GetUid() override { return uid_; }
  uint32_t GetGid() override { return gid_; }
  uint64_t GetSize() override { return size_; }
  uint64_t GetUsedSize() override { return size_; }
  std::pair<uint32_t, uint32_t> GetDevice() override { return {0, 0}; }
  uint64_t GetFileId() override { return fileId_; }
  uint64_t GetAccessTime() override { return time_; }
  uint64_t GetModifyTime() override { return time_; }
  uint64_t GetChangeTime() override { return time_; }

  // Virtual content is never writable through the mode.
  void SetUnixPermissions(uint32_t mode) override { mode_ = mode & ~0222u; }
  void SetUnixOwner(uint32_t uid, uint32_t gid) override {
    uid_ = uid;
    gid_ = gid;
  }
  void Truncate(uint64_t size) override {}

 private:
  std::atomic<uint32_t> mode_{0666};
  std::atomic<uint32_t> uid_{0};
  std::atomic<uint32_t> gid_{0};
  const uint64_t size_;
  const uint64_t fileId_;
  const uint64_t time_;
};

}  // namespace NFS
