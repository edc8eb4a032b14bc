#include "localfs/posix/PosixEntryCursor.h"

#include <fcntl.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <string_view>

namespace LocalFs::Posix {

namespace {

uint64_t Milliseconds(const timespec& t) {
  if (t.tv_sec < 0) return 0;
  return static_cast<uint64_t>(t.tv_sec) * 1000 + static_cast<uint64_t>(t.tv_nsec) / 1000000;
}

}  // namespace

PosixEntryCursor::PosixEntryCursor(std::string rawName, const struct stat& st,
                                   std::optional<dev_t> folderDevice)
    : rawName_(std::move(rawName)), stat_(st), folderDevice_(folderDevice), valid_(true) {}

PosixEntryCursor::PosixEntryCursor(DIR* stream, std::string folder, dev_t folderDevice)
    : folderDevice_(folderDevice), valid_(true), stream_(stream), folder_(std::move(folder)) {
  // Onto the first entry. A constructor that throws runs no destructor: the
  // stream is closed here then.
  try {
    Next();
  } catch (...) {
    closedir(stream_);
    stream_ = nullptr;
    throw;
  }
}

PosixEntryCursor::~PosixEntryCursor() {
  if (stream_ != nullptr) closedir(stream_);
}

void PosixEntryCursor::End() {
  // A finished walk gives its descriptor back at once: listings are cached
  // long after the client read them to the end.
  if (stream_ != nullptr) {
    closedir(stream_);
    stream_ = nullptr;
  }
  valid_ = false;
  rawName_.clear();
  stat_ = {};
  status_.Fail(LibraryError(kEndOfListing, "No more entries."));
}

void PosixEntryCursor::Next() {
  InjectFault("Next");
  if (!valid_) return;
  if (stream_ == nullptr) {
    End();
    return;
  }
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(stream_);
    if (entry == nullptr) {
      const int error = errno;
      if (error != 0) {
        valid_ = false;
        status_.Fail(SystemError(error, "readdir", "", folder_));
        return;
      }
      End();
      return;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    // An entry that vanished between listing and stat is simply skipped.
    if (fstatat(dirfd(stream_), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    rawName_ = name;
    stat_ = st;
    return;
  }
}

bool PosixEntryCursor::IsLinkLike() const {
  return !S_ISREG(stat_.st_mode) && !S_ISDIR(stat_.st_mode);
}

bool PosixEntryCursor::IsMountPoint() const {
  return S_ISDIR(stat_.st_mode) && folderDevice_ && stat_.st_dev != *folderDevice_;
}

WString PosixEntryCursor::GetName() const { return valid_ ? Common::FromUtf8(rawName_) : WString(); }

uint32_t PosixEntryCursor::GetDosAttributes() const {
  if (!valid_) return kUnknown32;
  uint32_t attributes = 0;
  if (S_ISDIR(stat_.st_mode)) attributes |= kAttributeDirectory;
  if (IsLinkLike() || IsMountPoint()) attributes |= kAttributeReparsePoint;
  if ((stat_.st_mode & 0222) == 0) attributes |= kAttributeReadOnly;
  if (S_ISREG(stat_.st_mode) && static_cast<uint64_t>(stat_.st_blocks) * 512 <
                                    static_cast<uint64_t>(stat_.st_size)) {
    attributes |= kAttributeSparse;
  }
  return attributes;
}

uint32_t PosixEntryCursor::GetReparseTag() const {
  if (!valid_) return 0;
  if (IsLinkLike()) return kReparseTagSymlink;
  return IsMountPoint() ? kReparseTagMountPoint : 0;
}

uint64_t PosixEntryCursor::GetEndOfFile() const {
  return valid_ ? static_cast<uint64_t>(stat_.st_size) : 0;
}

uint64_t PosixEntryCursor::GetAllocationSize() const {
  return valid_ ? static_cast<uint64_t>(stat_.st_blocks) * 512 : 0;
}

uint64_t PosixEntryCursor::GetLastAccessTime() const { return valid_ ? Milliseconds(stat_.st_atim) : 0; }
uint64_t PosixEntryCursor::GetLastWriteTime() const { return valid_ ? Milliseconds(stat_.st_mtim) : 0; }
uint64_t PosixEntryCursor::GetChangeTime() const { return valid_ ? Milliseconds(stat_.st_ctim) : 0; }

uint32_t PosixEntryCursor::GetLinkCount() const {
  return valid_ ? static_cast<uint32_t>(stat_.st_nlink) : 1;
}

uint64_t PosixEntryCursor::GetFileReference() const {
  return valid_ ? static_cast<uint64_t>(stat_.st_ino) : 0;
}

uint32_t PosixEntryCursor::GetUnixMode() const { return valid_ ? (stat_.st_mode & 07777) : kUnknown32; }
uint32_t PosixEntryCursor::GetUnixUid() const { return valid_ ? stat_.st_uid : 0; }
uint32_t PosixEntryCursor::GetUnixGid() const { return valid_ ? stat_.st_gid : 0; }

std::pair<uint32_t, uint32_t> PosixEntryCursor::GetDevice() const {
  if (!valid_ || !(S_ISCHR(stat_.st_mode) || S_ISBLK(stat_.st_mode))) return {0, 0};
  return {major(stat_.st_rdev), minor(stat_.st_rdev)};
}

}  // namespace LocalFs::Posix
