#include "server_lib/virtual/VirtualizedDir.h"

#include <cerrno>

#include "host/Assertion.h"
#include "host/Error.h"
#include "server_lib/core/ServerErrors.h"
#include "server_lib/enumerators/Enumerators.h"
#include "server_lib/local/IoError.h"

namespace NFS {

namespace {

// Walks the live map by key rather than by map iterator, so that a file
// removed by another thread between two steps cannot leave it dangling.
class VirtualFilesIterator : public DirectoryIterator {
 public:
  VirtualFilesIterator(std::shared_ptr<VirtualFileMap> files, std::shared_ptr<VirtualTableLock> lock)
      : files_(std::move(files)), lock_(std::move(lock)) {
    std::lock_guard guard(lock_->mutex);
    Take(files_->begin());
  }

  bool IsValid() override { return file_ != nullptr; }
  Common::WString GetName() override { return name_; }
  std::shared_ptr<AttributesAccessor> GetAttributes() override {
    return file_ ? file_->GetAttributes() : nullptr;
  }
  void Next() override {
    if (!file_) return;
    std::lock_guard guard(lock_->mutex);
    Take(files_->upper_bound(name_));
  }

 private:
  void Take(VirtualFileMap::const_iterator it) {
    if (it == files_->end()) {
      file_.reset();
      name_.clear();
    } else {
      name_ = it->first;
      file_ = it->second;
    }
  }

  std::shared_ptr<VirtualFileMap> files_;
  std::shared_ptr<VirtualTableLock> lock_;
  Common::WString name_;
  std::shared_ptr<FileObject> file_;
};

void ShouldNeverBeCalled() { COMMON_ASSERT(!"Should never be called."); }

[[noreturn]] void ThrowNothingToMakeIn() {
  ThrowSystemError(EACCES, u"A folder of virtual files only has no local folder to make entries in.");
}

}  // namespace

VirtualizedDir::VirtualizedDir(Common::WString path, std::shared_ptr<VirtualFileMap> files,
                               std::shared_ptr<VirtualTableLock> lock)
    : path_(std::move(path)),
      id_(MakeObjectId(kDirectoryKind, path_)),
      files_(std::move(files)),
      lock_(std::move(lock)) {}

VirtualizedDir::~VirtualizedDir() = default;

std::shared_ptr<AttributesAccessor> VirtualizedDir::GetAttributes() {
  ShouldNeverBeCalled();
  return nullptr;
}

std::shared_ptr<AttributesModifier> VirtualizedDir::GetAttributesModifier() {
  ShouldNeverBeCalled();
  return nullptr;
}

std::unique_ptr<FSInfo> VirtualizedDir::GetFSInfo() {
  ShouldNeverBeCalled();
  return nullptr;
}

std::unique_ptr<FSStat> VirtualizedDir::GetFSStat() {
  ShouldNeverBeCalled();
  return nullptr;
}

std::shared_ptr<DirEntriesEnumerator> VirtualizedDir::GetEnumerator(uint64_t id) {
  if (!enumerators_) enumerators_ = CreateDirEntriesEnumeratorsProvider(*this);
  return enumerators_->GetEnumerator(id);
}

std::shared_ptr<FileSystemObject> VirtualizedDir::Lookup(const Common::WString& name) {
  std::lock_guard guard(lock_->mutex);
  const auto it = files_->find(name);
  return it != files_->end() ? it->second : nullptr;
}

// A folder that holds only virtual files has no local folder to make
// anything in: the client is refused, as by a folder it may not write.
void VirtualizedDir::CreateFile(const Common::WString&) { ThrowNothingToMakeIn(); }
void VirtualizedDir::CreateDir(const Common::WString&) { ThrowNothingToMakeIn(); }
void VirtualizedDir::Rename(const Common::WString&, const Common::WString&) { ThrowNothingToMakeIn(); }

void VirtualizedDir::ThrowNotRegistered(const Common::WString& name) {
  throw Common::Error(ErrorCode::NotFound,
                      Common::FormatMessage(Messages::VirtualFileNotRegistered, path_, name));
}

void VirtualizedDir::DeleteFile(const Common::WString& name) {
  std::shared_ptr<FileObject> removed;  // released after the lock
  {
    std::lock_guard guard(lock_->mutex);
    const auto it = files_->find(name);
    if (it == files_->end()) ThrowNotRegistered(name);
    removed = std::move(it->second);
    files_->erase(it);
  }
}

void VirtualizedDir::DeleteDir(const Common::WString& name) { ThrowNotRegistered(name); }

std::unique_ptr<DirectoryIterator> VirtualizedDir::CreateIterator() {
  return std::make_unique<VirtualFilesIterator>(files_, lock_);
}

}  // namespace NFS
