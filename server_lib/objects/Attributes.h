#pragma once

#include <cstdint>
#include <utility>

namespace NFS {

// Object type codes as GetType reports them.
namespace ObjectTypeCode {
inline constexpr uint32_t RegularFile = 0;
inline constexpr uint32_t CharacterDevice = 1;
inline constexpr uint32_t BlockDevice = 2;
inline constexpr uint32_t Fifo = 3;
inline constexpr uint32_t Socket = 4;
inline constexpr uint32_t SymbolicLink = 5;
inline constexpr uint32_t Directory = 128;
inline constexpr uint32_t MountPoint = 150;
inline constexpr uint32_t DirectorySymbolicLink = 151;
inline constexpr uint32_t ClusterSharedVolume = 154;
}  // namespace ObjectTypeCode

// Attributes of one object. Times are milliseconds since 1970-01-01 UTC.
class AttributesAccessor {
 public:
  virtual ~AttributesAccessor() = default;
  virtual uint32_t GetType() = 0;
  virtual uint32_t GetMode() = 0;
  virtual uint32_t GetLinksCount() = 0;
  virtual uint32_t GetUid() = 0;
  virtual uint32_t GetGid() = 0;
  virtual uint64_t GetSize() = 0;
  virtual uint64_t GetUsedSize() = 0;
  virtual std::pair<uint32_t, uint32_t> GetDevice() = 0;
  virtual uint64_t GetFileId() = 0;
  virtual uint64_t GetAccessTime() = 0;
  virtual uint64_t GetModifyTime() = 0;
  virtual uint64_t GetChangeTime() = 0;
};

// Changes the attributes of one object; reports nothing, callers read the
// attributes again to see the outcome.
class AttributesModifier {
 public:
  virtual ~AttributesModifier() = default;
  virtual void SetUnixPermissions(uint32_t mode) = 0;
  virtual void SetUnixOwner(uint32_t uid, uint32_t gid) = 0;
  virtual void Truncate(uint64_t size) = 0;
};

}  // namespace NFS
