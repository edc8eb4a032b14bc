#pragma once

#include <memory>

#include "localfs/LocalFs.h"
#include "server_lib/objects/Attributes.h"

namespace NFS {

// Reads the attributes of the entry a local cursor is on, at call time.
class AttributesAccessorImpl : public AttributesAccessor {
 public:
  explicit AttributesAccessorImpl(std::shared_ptr<LocalFs::LocalEntryCursor> cursor);

  // The object type code derived from the entry's DOS attributes and reparse tag.
  static uint32_t TypeCodeOf(const LocalFs::LocalEntryCursor& cursor);

  uint32_t GetType() override;
  uint32_t GetMode() override;
  uint32_t GetLinksCount() override;
  uint32_t GetUid() override;
  uint32_t GetGid() override;
  uint64_t GetSize() override;
  uint64_t GetUsedSize() override;
  std::pair<uint32_t, uint32_t> GetDevice() override;
  uint64_t GetFileId() override;
  uint64_t GetAccessTime() override;
  uint64_t GetModifyTime() override;
  uint64_t GetChangeTime() override;

 private:
  std::shared_ptr<LocalFs::LocalEntryCursor> cursor_;
};

}  // namespace NFS
