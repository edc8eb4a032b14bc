#include "server_lib/local/AttributesModifierImpl.h"


#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"
#include "server_lib/local/AttributesAccessorImpl.h"
#include "server_lib/local/IoError.h"

namespace NFS {

AttributesModifierImpl::AttributesModifierImpl(LocalFs::LocalDirectoryHandle& folder, Common::WString name,
                                               Target target)
    : folder_(folder.OpenDirectory(u".")), name_(std::move(name)), target_(target) {
  if (!folder_) ThrowIoError(folder.TakeStatus());
}

void AttributesModifierImpl::CheckStillAFile() {
  if (target_ == Target::kFolder) return;
  const auto entry = folder_->GetEntry(name_);
  if (!entry) {
    throw Common::Error(ErrorCode::ObjectNotFound, Common::FormatMessage(Messages::ObjectNotFound),
                        folder_->TakeStatus());
  }
  if (AttributesAccessorImpl::TypeCodeOf(*entry) != ObjectTypeCode::RegularFile) {
    throw Common::Error(ErrorCode::ObjectNotFound, Common::FormatMessage(Messages::KindChanged));
  }
}

void AttributesModifierImpl::SetUnixPermissions(uint32_t mode) {
  CheckStillAFile();
  Common::Trace(kLogChannel, "Attributes({0})::SetUnixPermissions({1},{2})", folder_->GetLocalPath(), name_, mode);
  if (!folder_->SetUnixPermissions(name_, mode)) ThrowIoError(folder_->TakeStatus());
}

void AttributesModifierImpl::SetUnixOwner(uint32_t uid, uint32_t gid) {
  CheckStillAFile();
  Common::Trace(kLogChannel, "Attributes({0})::SetUnixOwner({1},{2},{3})", folder_->GetLocalPath(), name_, uid,
                gid);
  if (!folder_->SetUnixOwner(name_, uid, gid)) ThrowIoError(folder_->TakeStatus());
}

void AttributesModifierImpl::Truncate(uint64_t size) {
  // A folder has no size to set: asking for one changes nothing.
  if (target_ == Target::kFolder) return;
  CheckStillAFile();
  Common::Trace(kLogChannel, "Attributes({0})::Truncate({1},{2})", folder_->GetLocalPath(), name_, size);
  auto file = folder_->OpenFile(name_, LocalFs::FileAccess::Write);
  if (!file) ThrowIoError(folder_->TakeStatus());
  if (!file->SetSize(size)) ThrowIoError(file->TakeStatus());
}

}  // namespace NFS
