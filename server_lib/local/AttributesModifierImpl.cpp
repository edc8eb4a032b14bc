#include "server_lib/local/AttributesModifierImpl.h"

#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"
#include "server_lib/local/IoError.h"

namespace NFS {

AttributesModifierImpl::AttributesModifierImpl(LocalFs::LocalDirectoryHandle& folder,
                                               Common::WString name)
    : folder_(folder.OpenDirectory(u".")), name_(std::move(name)) {
  if (!folder_) ThrowIoError(folder.TakeStatus());
}

void AttributesModifierImpl::SetUnixPermissions(uint32_t mode) {
  folder_->TakeStatus();
  folder_->SetUnixPermissions(name_, mode);
  Common::Trace(kLogChannel, "Attributes({0})::SetUnixPermissions({1},{2})",
                folder_->GetLocalPath(), name_, mode);
  if (folder_->TakeStatus().IsFailure()) {
    // No unix permissions here: the owner-write bit decides read-only.
    const uint32_t attributes = (mode & 0200) ? 0 : LocalFs::kAttributeReadOnly;
    folder_->SetDosAttributes(name_, attributes);
    Common::Trace(kLogChannel, "Attributes({0})::SetDosAttributes({1},{2})",
                  folder_->GetLocalPath(), name_, attributes);
  }
}

void AttributesModifierImpl::SetUnixOwner(uint32_t uid, uint32_t gid) {
  folder_->SetUnixOwner(name_, uid, gid);
  Common::Trace(kLogChannel, "Attributes({0})::SetUnixOwner({1},{2},{3})", folder_->GetLocalPath(),
                name_, uid, gid);
}

void AttributesModifierImpl::Truncate(uint64_t size) {
  auto file = folder_->OpenFile(name_, LocalFs::FileAccess::Write);
  if (file) {
    file->SetSize(size);
    Common::Trace(kLogChannel, "Attributes({0})::Truncate({1},{2})", folder_->GetLocalPath(), name_,
                  size);
  } else {
    Common::Trace(kLogChannel, "Attributes({0}): failed to open for truncate({1},{2})",
                  folder_->GetLocalPath(), name_, size);
  }
}

}  // namespace NFS
