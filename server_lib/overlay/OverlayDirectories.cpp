#include "server_lib/overlay/CombinedDirectory.h"
#include "server_lib/overlay/MixinDirectory.h"

#include <cerrno>

#include "server_lib/local/IoError.h"

namespace NFS {

// --- MixinDirectory

MixinDirectory::MixinDirectory(std::shared_ptr<DirObject> base, std::shared_ptr<MixinDirectoryProvider> provider)
    : ForwardingDirectory(std::move(base)), provider_(std::move(provider)) {}

DirObject& MixinDirectory::Effective() {
  if (combined_) return *combined_;
  auto overlay = provider_->GetMixinDirectory(base_->GetPath());
  // No overlay yet: nothing is remembered, so one registered later is found.
  if (!overlay) return *base_;
  combined_ = std::make_shared<CombinedDirectory>(base_, std::move(overlay));
  return *combined_;
}

std::shared_ptr<DirEntriesEnumerator> MixinDirectory::GetEnumerator(uint64_t id) {
  return Effective().GetEnumerator(id);
}

std::shared_ptr<FileSystemObject> MixinDirectory::Lookup(const Common::WString& name) {
  auto object = Effective().Lookup(name);
  if (auto dir = std::dynamic_pointer_cast<DirObject>(object)) {
    return std::make_shared<MixinDirectory>(std::move(dir), provider_);
  }
  return object;
}

void MixinDirectory::DeleteFile(const Common::WString& name) { Effective().DeleteFile(name); }
void MixinDirectory::DeleteDir(const Common::WString& name) { Effective().DeleteDir(name); }
void MixinDirectory::Rename(const Common::WString& from, const Common::WString& to) {
  Effective().Rename(from, to);
}

// --- CombinedDirectory

CombinedDirectory::CombinedDirectory(std::shared_ptr<DirObject> first, std::shared_ptr<DirObject> second)
    : ForwardingDirectory(std::move(first)), second_(std::move(second)) {}

std::shared_ptr<DirEntriesEnumerator> CombinedDirectory::GetEnumerator(uint64_t id) {
  auto first = base_->GetEnumerator(id);
  auto second = second_->GetEnumerator(id);
  if (!first) return second;
  if (!second) return first;
  return std::make_shared<CombinedDirEntriesEnumerator>(std::move(first), std::move(second));
}

std::shared_ptr<FileSystemObject> CombinedDirectory::Lookup(const Common::WString& name) {
  if (auto object = base_->Lookup(name)) return object;
  return second_->Lookup(name);
}

void CombinedDirectory::DeleteFile(const Common::WString& name) {
  if (std::dynamic_pointer_cast<FileObject>(base_->Lookup(name))) {
    base_->DeleteFile(name);
  } else {
    second_->DeleteFile(name);
  }
}

void CombinedDirectory::DeleteDir(const Common::WString& name) {
  if (std::dynamic_pointer_cast<DirObject>(base_->Lookup(name))) {
    base_->DeleteDir(name);
  } else {
    second_->DeleteDir(name);
  }
}

void CombinedDirectory::Rename(const Common::WString& from, const Common::WString& to) {
  // Virtual files are the operator's: a client cannot move them.
  if (!base_->Lookup(from) && second_->Lookup(from)) {
    ThrowSystemError(EACCES, u"A virtual file cannot be renamed.");
  }
  // A virtual file of the target name is replaced too, but only once the
  // local move has happened.
  const bool virtualTarget = std::dynamic_pointer_cast<FileObject>(second_->Lookup(to)) && !base_->Lookup(to);
  base_->Rename(from, to);
  if (virtualTarget && !base_->Lookup(from) && base_->Lookup(to)) second_->DeleteFile(to);
}

// --- CombinedDirEntriesEnumerator

CombinedDirEntriesEnumerator::CombinedDirEntriesEnumerator(std::shared_ptr<DirEntriesEnumerator> first,
                                                           std::shared_ptr<DirEntriesEnumerator> second)
    : first_(std::move(first)), second_(std::move(second)) {
  SettleOnFirst();
}

void CombinedDirEntriesEnumerator::SettleOnFirst() {
  position_ = first_->IsValid() ? first_->GetCookie() : kSecondBase + second_->GetCookie();
}

void CombinedDirEntriesEnumerator::Next() {
  if (position_ >= kSecondBase) {
    second_->Next();
    position_ = kSecondBase + second_->GetCookie();
    return;
  }
  first_->Next();
  SettleOnFirst();
}

void CombinedDirEntriesEnumerator::Seek(uint32_t position) {
  if (position >= kSecondBase) {
    second_->Seek(position - kSecondBase);
    position_ = kSecondBase + second_->GetCookie();
    return;
  }
  first_->Seek(position);
  SettleOnFirst();
}

}  // namespace NFS
