#include "server_lib/local/AttributesAccessorImpl.h"

#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"

namespace NFS {

namespace {

constexpr uint32_t kUnknownId = 0xFFFFFFFF;
constexpr uint32_t kNobody = 0xFFFFFFFE;

uint32_t KnownId(uint32_t id) { return id == kUnknownId ? kNobody : id; }

}  // namespace

AttributesAccessorImpl::AttributesAccessorImpl(std::shared_ptr<LocalFs::LocalEntryCursor> cursor)
    : cursor_(std::move(cursor)) {
  Common::Trace(kLogChannel, "Attributes({0}): created", Common::Lazy([this] { return cursor_->GetName(); }));
}

uint32_t AttributesAccessorImpl::TypeCodeOf(const LocalFs::LocalEntryCursor& cursor) {
  uint32_t attributes = cursor.GetDosAttributes();
  if (attributes == LocalFs::kUnknown32) attributes = 0;
  const bool directory = (attributes & LocalFs::kAttributeDirectory) != 0;
  const uint32_t base = directory ? ObjectTypeCode::Directory : ObjectTypeCode::RegularFile;
  if ((attributes & LocalFs::kAttributeReparsePoint) == 0 ||
      (attributes & LocalFs::kAttributeOffline) != 0) {
    return base;
  }
  const uint32_t tag = cursor.GetReparseTag();
  switch (tag) {
    case 0x8000000A:  // DFS
    case 0x80000012:  // DFS-R
    case 0xA000000C:  // symbolic link
      return directory ? ObjectTypeCode::DirectorySymbolicLink : ObjectTypeCode::SymbolicLink;
    case 0x80000009:
      return ObjectTypeCode::ClusterSharedVolume;
    default:
      break;
  }
  if (directory && (tag & 0x20000000) != 0) return ObjectTypeCode::MountPoint;
  return base;
}

uint32_t AttributesAccessorImpl::GetType() { return TypeCodeOf(*cursor_); }

uint32_t AttributesAccessorImpl::GetMode() {
  const uint32_t unixMode = cursor_->GetUnixMode();
  if (unixMode != LocalFs::kUnknown32) return unixMode & 0777;
  const uint32_t attributes = cursor_->GetDosAttributes();
  if (attributes == LocalFs::kUnknown32) {
    return GetType() == ObjectTypeCode::Directory ? 0755 : 0644;
  }
  uint32_t mode = (attributes & LocalFs::kAttributeReadOnly) ? 0444 : 0644;
  if (attributes & LocalFs::kAttributeDirectory) mode |= 0111;
  return mode;
}

uint32_t AttributesAccessorImpl::GetLinksCount() { return cursor_->GetLinkCount(); }
uint32_t AttributesAccessorImpl::GetUid() { return KnownId(cursor_->GetUnixUid()); }
uint32_t AttributesAccessorImpl::GetGid() { return KnownId(cursor_->GetUnixGid()); }
uint64_t AttributesAccessorImpl::GetSize() { return cursor_->GetEndOfFile(); }

uint64_t AttributesAccessorImpl::GetUsedSize() {
  const uint64_t allocated = cursor_->GetAllocationSize();
  const uint32_t attributes = cursor_->GetDosAttributes();
  const bool sparseOrCompressed =
      attributes != LocalFs::kUnknown32 &&
      (attributes & (LocalFs::kAttributeSparse | LocalFs::kAttributeCompressed)) != 0;
  if (allocated == 0 && !sparseOrCompressed) return cursor_->GetEndOfFile();
  return allocated;
}

std::pair<uint32_t, uint32_t> AttributesAccessorImpl::GetDevice() { return cursor_->GetDevice(); }
uint64_t AttributesAccessorImpl::GetFileId() { return cursor_->GetFileReference(); }
uint64_t AttributesAccessorImpl::GetAccessTime() { return cursor_->GetLastAccessTime(); }
uint64_t AttributesAccessorImpl::GetModifyTime() { return cursor_->GetLastWriteTime(); }
uint64_t AttributesAccessorImpl::GetChangeTime() { return cursor_->GetChangeTime(); }

}  // namespace NFS
