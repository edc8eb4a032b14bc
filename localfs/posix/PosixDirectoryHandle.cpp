#include "localfs/posix/PosixDirectoryHandle.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <cstring>
#include <string_view>

#include "localfs/posix/PosixEntryCursor.h"
#include "localfs/posix/PosixFileHandle.h"

namespace LocalFs::Posix {

namespace {

// Local paths are for traces only; the descriptors decide what is opened.
std::string ParentPath(const std::string& path) {
  const size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return path.empty() ? ".." : "/";
  const size_t slash = path.rfind('/', end);
  if (slash == std::string::npos) return path.substr(0, end + 1) + "/..";
  const size_t keep = path.find_last_not_of('/', slash);
  return keep == std::string::npos ? "/" : path.substr(0, keep + 1);
}

std::string LastComponent(const std::string& path) {
  const size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return "/";
  const size_t slash = path.rfind('/', end);
  return path.substr(slash == std::string::npos ? 0 : slash + 1,
                     end - (slash == std::string::npos ? 0 : slash + 1) + 1);
}

std::string Join(const std::string& folder, const std::string& name) {
  return !folder.empty() && folder.back() == '/' ? folder + name : folder + "/" + name;
}

struct FileSystemMagic {
  uint32_t magic;
  const char* name;
};

// Only file systems whose names the server knows; any other answers nothing.
constexpr FileSystemMagic kFileSystems[] = {
    {0xEF53, "EXT4FS"},  {0x58465342, "XFS"},  {0x52654973, "REISERFS"},
    {0x3153464A, "JFS"}, {0x482B, "HFSPLUS"},  {0x5346544E, "NTFS"},
    {0x4D44, "VFAT"},    {0x2011BAB0, "EXFAT"}, {0x01161970, "GFS2"},
};

constexpr size_t kFileSystemNameUnits = 64;

}  // namespace

PosixDirectoryHandle::PosixDirectoryHandle(std::shared_ptr<DirectoryDescriptor> node, std::string localPath)
    : node_(std::move(node)), localPath_(std::move(localPath)) {}

PosixDirectoryHandle::~PosixDirectoryHandle() = default;

DescriptorLease PosixDirectoryHandle::Use(Common::source_location where) {
  DescriptorLease lease = node_->Acquire();
  if (!lease) Fail(errno, "openat", ".", where);
  return lease;
}

bool PosixDirectoryHandle::Fail(int error, std::string_view call, std::string_view name,
                                Common::source_location where) {
  return status_.Fail(SystemError(error, call, name, localPath_, where));
}

std::unique_ptr<LocalDirectoryHandle> PosixDirectoryHandle::OpenChild(const std::string& raw,
                                                                      std::string childPath,
                                                                      Common::source_location where) {
  const DescriptorLease dir = Use(where);
  if (!dir) return nullptr;
  const int fd = openat(dir.Fd(), raw.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    Fail(errno, "openat", raw, where);
    return nullptr;
  }
  // Another file system mounted here is not entered.
  struct stat st {};
  if (raw != ".." && (fstat(fd, &st) != 0 || st.st_dev != node_->Device())) {
    close(fd);
    Fail(EXDEV, "openat", raw, where);
    return nullptr;
  }
  // ".." of a folder opened by path has no parent to reopen it from.
  auto child = std::make_shared<DirectoryDescriptor>(fd, raw == ".." ? nullptr : node_, raw);
  return std::make_unique<PosixDirectoryHandle>(std::move(child), std::move(childPath));
}

std::unique_ptr<LocalDirectoryHandle> PosixDirectoryHandle::OpenDirectory(const WString& name) {
  InjectFault("OpenDirectory");
  if (name == u".") {
    // The same folder: share its descriptor, checked to be still reachable.
    if (!Use()) return nullptr;
    return std::make_unique<PosixDirectoryHandle>(node_, localPath_);
  }
  if (name == u"..") {
    if (node_->Parent()) {
      if (!node_->Parent()->Acquire()) {
        Fail(errno, "openat", "..");
        return nullptr;
      }
      return std::make_unique<PosixDirectoryHandle>(node_->Parent(), ParentPath(localPath_));
    }
    return OpenChild("..", ParentPath(localPath_), Common::source_location::current());
  }
  std::string local;
  if (!ToLocalName(name, local, status_)) return nullptr;
  return OpenChild(local, Join(localPath_, local), Common::source_location::current());
}

std::unique_ptr<LocalDirectoryHandle> PosixDirectoryHandle::OpenDirectory(const LocalEntryCursor& entry) {
  InjectFault("OpenDirectory");
  const auto* cursor = dynamic_cast<const PosixEntryCursor*>(&entry);
  if (cursor == nullptr || !cursor->IsValid()) {
    status_.Fail(LibraryError(kInvalidName, "The entry cursor is not on an entry."));
    return nullptr;
  }
  const std::string& raw = cursor->GetRawName();
  // The cursor's name came from the file system, but it must still be a
  // single entry of this folder.
  if (raw.empty() || raw == "." || raw == ".." || raw.find('/') != std::string::npos) {
    status_.Fail(LibraryError(kInvalidName, "The entry cursor does not name an entry."));
    return nullptr;
  }
  return OpenChild(raw, Join(localPath_, raw), Common::source_location::current());
}

std::unique_ptr<LocalEntryCursor> PosixDirectoryHandle::GetEntry(const WString& name) {
  InjectFault("GetEntry");
  std::string local;
  if (!ToLocalName(name, local, status_)) return nullptr;
  struct stat st {};
  const DescriptorLease dir = Use();
  if (!dir) return nullptr;
  if (fstatat(dir.Fd(), local.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    Fail(errno, "fstatat", local);
    return nullptr;
  }
  return std::make_unique<PosixEntryCursor>(std::move(local), st, node_->Device());
}

std::unique_ptr<LocalEntryCursor> PosixDirectoryHandle::GetSelfEntry() {
  InjectFault("GetSelfEntry");
  struct stat st {};
  const DescriptorLease dir = Use();
  if (!dir) return nullptr;
  if (fstat(dir.Fd(), &st) != 0) {
    Fail(errno, "fstat", ".");
    return nullptr;
  }
  return std::make_unique<PosixEntryCursor>(LastComponent(localPath_), st, std::nullopt);
}

std::unique_ptr<LocalEntryCursor> PosixDirectoryHandle::ListEntries() {
  InjectFault("ListEntries");
  // A fresh open rather than a dup: a dup would share its read offset with
  // every other listing of this handle, so two walks would disturb each other.
  // The stream owns the descriptor and may outlive this handle.
  const DescriptorLease dir = Use();
  if (!dir) return nullptr;
  const int fd = openat(dir.Fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    Fail(errno, "openat", ".");
    return nullptr;
  }
  DIR* stream = fdopendir(fd);
  if (stream == nullptr) {
    const int error = errno;
    close(fd);
    Fail(error, "fdopendir", ".");
    return nullptr;
  }
  return std::make_unique<PosixEntryCursor>(stream, localPath_, node_->Device());
}

bool PosixDirectoryHandle::VisitNames(const std::function<bool(const WString& name, bool folder)>& visit) {
  InjectFault("VisitNames");
  const DescriptorLease dir = Use();
  if (!dir) return false;
  const int fd = openat(dir.Fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    Fail(errno, "openat", ".");
    return false;
  }
  DIR* stream = fdopendir(fd);
  if (stream == nullptr) {
    const int error = errno;
    close(fd);
    Fail(error, "fdopendir", ".");
    return false;
  }
  // Closed whatever the visitor does, throwing included.
  const std::unique_ptr<DIR, int (*)(DIR*)> closer(stream, closedir);
  for (const dirent* entry = readdir(stream); entry != nullptr; entry = readdir(stream)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st {};
      if (fstatat(dirfd(stream), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
    }
    if (type != DT_DIR && type != DT_REG) continue;
    if (!visit(Common::FromUtf8(name), type == DT_DIR)) break;
  }
  return true;
}

std::unique_ptr<LocalFileHandle> PosixDirectoryHandle::OpenRegular(const std::string& local, int flags,
                                                                   Common::source_location where) {
  // Non-blocking so that a FIFO planted under the name cannot stall us, and
  // never a controlling terminal. Truncation skips anything but regular files.
  const DescriptorLease dir = Use(where);
  if (!dir) return nullptr;
  const int fd =
      openat(dir.Fd(), local.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) {
    // A FIFO without reader or a device without driver: not a file either way.
    if (errno == ENXIO) {
      NotRegular(local, where);
    } else {
      Fail(errno, "openat", local, where);
    }
    return nullptr;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    Fail(errno, "fstat", local, where);
    close(fd);
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    NotRegular(local, where);
    return nullptr;
  }
  const int fileFlags = fcntl(fd, F_GETFL);
  if (fileFlags < 0 || fcntl(fd, F_SETFL, fileFlags & ~O_NONBLOCK) != 0) {
    Fail(errno, "fcntl", local, where);
    close(fd);
    return nullptr;
  }
  return std::make_unique<PosixFileHandle>(std::make_unique<FileDescriptor>(fd, node_, local, flags), local,
                                           localPath_);
}

void PosixDirectoryHandle::NotRegular(const std::string& local, Common::source_location where) {
  status_.Fail(LibraryError(kNotRegularFile,
                            "'" + local + "' in '" + localPath_ + "' is not a regular file.", where));
}

std::unique_ptr<LocalFileHandle> PosixDirectoryHandle::CreateFile(const WString& name) {
  InjectFault("CreateFile");
  std::string local;
  if (!ToLocalName(name, local, status_)) return nullptr;
  // Made anew or not at all: an entry of that name, whatever made it and
  // whenever, is never emptied or followed.
  return OpenRegular(local, O_RDWR | O_CREAT | O_EXCL, Common::source_location::current());
}

std::unique_ptr<LocalFileHandle> PosixDirectoryHandle::OpenFile(const WString& name, FileAccess access) {
  InjectFault("OpenFile");
  std::string local;
  if (!ToLocalName(name, local, status_)) return nullptr;
  const int flags = access == FileAccess::Read ? O_RDONLY
                    : access == FileAccess::Write ? O_WRONLY
                                                  : O_RDWR;
  return OpenRegular(local, flags, Common::source_location::current());
}

bool PosixDirectoryHandle::CreateDirectory(const WString& name) {
  InjectFault("CreateDirectory");
  std::string local;
  if (!ToLocalName(name, local, status_)) return false;
  const DescriptorLease dir = Use();
  if (!dir) return false;
  if (mkdirat(dir.Fd(), local.c_str(), 0777) != 0) return Fail(errno, "mkdirat", local);
  return true;
}

bool PosixDirectoryHandle::DeleteFile(const WString& name) {
  InjectFault("DeleteFile");
  std::string local;
  if (!ToLocalName(name, local, status_)) return false;
  const DescriptorLease dir = Use();
  if (!dir) return false;
  if (unlinkat(dir.Fd(), local.c_str(), 0) != 0) return Fail(errno, "unlinkat", local);
  return true;
}

bool PosixDirectoryHandle::RemoveDirectory(const WString& name) {
  InjectFault("RemoveDirectory");
  std::string local;
  if (!ToLocalName(name, local, status_)) return false;
  const DescriptorLease dir = Use();
  if (!dir) return false;
  if (unlinkat(dir.Fd(), local.c_str(), AT_REMOVEDIR) != 0) return Fail(errno, "unlinkat", local);
  return true;
}

bool PosixDirectoryHandle::Rename(const WString& from, const WString& to) {
  InjectFault("Rename");
  std::string localFrom;
  std::string localTo;
  if (!ToLocalName(from, localFrom, status_) || !ToLocalName(to, localTo, status_)) return false;
  struct stat target {};
  const DescriptorLease dir = Use();
  if (!dir) return false;
  if (fstatat(dir.Fd(), localTo.c_str(), &target, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(target.st_mode)) {
    // Replacing a file is the move's job; replacing a folder is not.
    return Fail(EEXIST, "renameat", localTo);
  }
  if (renameat(dir.Fd(), localFrom.c_str(), dir.Fd(), localTo.c_str()) != 0) {
    return Fail(errno, "renameat", localFrom);
  }
  return true;
}

bool PosixDirectoryHandle::SetUnixPermissions(const WString& name, uint32_t mode) {
  InjectFault("SetUnixPermissions");
  // Set-id and sticky bits never come from here: a client must not be able
  // to plant a set-user-id program.
  mode &= 0777;
  if (name == u".") {
    const DescriptorLease dir = Use();
    if (!dir) return false;
    if (fchmod(dir.Fd(), mode) != 0) return Fail(errno, "fchmod", ".");
    return true;
  }
  std::string local;
  if (!ToLocalName(name, local, status_)) return false;
  struct stat st {};
  const DescriptorLease dir = Use();
  if (!dir) return false;
  if (fstatat(dir.Fd(), local.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Fail(errno, "fstatat", local);
  // Link permissions mean nothing; never let a change reach the target.
  if (S_ISLNK(st.st_mode)) return Fail(ELOOP, "fchmodat", local);
  if (fchmodat(dir.Fd(), local.c_str(), mode, AT_SYMLINK_NOFOLLOW) == 0) return true;
  if (errno != ENOTSUP && errno != EOPNOTSUPP) return Fail(errno, "fchmodat", local);
  // Older C libraries refuse the no-follow flag; go through a path descriptor,
  // checked again in case a link replaced the entry meanwhile.
  const int fd = openat(dir.Fd(), local.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return Fail(errno, "openat", local);
  int error = 0;
  if (fstat(fd, &st) != 0) {
    error = errno;
  } else if (S_ISLNK(st.st_mode)) {
    error = ELOOP;
  } else {
    const std::string procPath = "/proc/self/fd/" + std::to_string(fd);
    if (fchmodat(AT_FDCWD, procPath.c_str(), mode, 0) != 0) error = errno;
  }
  close(fd);
  if (error != 0) return Fail(error, "fchmodat", local);
  return true;
}

bool PosixDirectoryHandle::SetUnixOwner(const WString& name, uint32_t uid, uint32_t gid) {
  InjectFault("SetUnixOwner");
  if (name == u".") {
    const DescriptorLease dir = Use();
    if (!dir) return false;
    if (fchown(dir.Fd(), static_cast<uid_t>(uid), static_cast<gid_t>(gid)) != 0) return Fail(errno, "fchown", ".");
    return true;
  }
  std::string local;
  if (!ToLocalName(name, local, status_)) return false;
  const DescriptorLease dir = Use();
  if (!dir) return false;
  if (fchownat(dir.Fd(), local.c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(gid),
               AT_SYMLINK_NOFOLLOW) != 0) {
    return Fail(errno, "fchownat", local);
  }
  return true;
}

bool PosixDirectoryHandle::SetDosAttributes(const WString& name, uint32_t attributes) {
  struct stat st {};
  const DescriptorLease dir = Use();
  if (!dir) return false;
  if (name == u".") {
    if (fstat(dir.Fd(), &st) != 0) return Fail(errno, "fstat", ".");
  } else {
    std::string local;
    if (!ToLocalName(name, local, status_)) return false;
    if (fstatat(dir.Fd(), local.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Fail(errno, "fstatat", local);
  }
  // Only the read-only bit has a unix meaning.
  const uint32_t mode = (attributes & kAttributeReadOnly) ? (st.st_mode & 0555) : (st.st_mode | 0200);
  return SetUnixPermissions(name, mode & 0777);
}

bool PosixDirectoryHandle::GetDriveSizes(uint64_t& total, uint64_t& free, uint64_t& available) {
  InjectFault("GetDriveSizes");
  struct statvfs st {};
  const DescriptorLease dir = Use();
  if (!dir) return false;
  if (fstatvfs(dir.Fd(), &st) != 0) return Fail(errno, "fstatvfs", ".");
  total = static_cast<uint64_t>(st.f_blocks) * st.f_frsize;
  free = static_cast<uint64_t>(st.f_bfree) * st.f_frsize;
  available = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
  return true;
}

bool PosixDirectoryHandle::AnswerFileSystemName(std::vector<uint8_t>& request) {
  if (request.size() < 4 + kFileSystemNameUnits * 2) {
    return status_.Fail(LibraryError(kNotSupported, "The GFST request record is too short."));
  }
  // An empty name tells the caller the file system is unknown.
  const auto nameBegin = request.begin() + 4;
  std::fill(nameBegin, nameBegin + kFileSystemNameUnits * 2, 0);
  struct statfs st {};
  const DescriptorLease dir = Use();
  if (!dir) return false;
  if (fstatfs(dir.Fd(), &st) != 0) return Fail(errno, "fstatfs", ".");
  for (const auto& known : kFileSystems) {
    if (static_cast<uint32_t>(st.f_type) != known.magic) continue;
    const std::string_view name = known.name;
    for (size_t i = 0; i < name.size() && i + 1 < kFileSystemNameUnits; ++i) {
      request[4 + i * 2] = static_cast<uint8_t>(name[i]);
    }
    return true;
  }
  return status_.Fail(LibraryError(kNotSupported, "The file system has no known name."));
}

bool PosixDirectoryHandle::Control(std::vector<uint8_t>& request) {
  InjectFault("Control");
  if (request.size() >= 4 && std::memcmp(request.data(), "GFST", 4) == 0) {
    return AnswerFileSystemName(request);
  }
  return status_.Fail(LibraryError(kNotSupported, "Unknown control request."));
}

}  // namespace LocalFs::Posix

namespace LocalFs {

std::unique_ptr<LocalDirectoryHandle> CreateLocalDirectoryHandle(const std::string& path, Error* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    if (error != nullptr) *error = Posix::SystemError(errno, "open", path, "");
    return nullptr;
  }
  return std::make_unique<Posix::PosixDirectoryHandle>(
      std::make_shared<Posix::DirectoryDescriptor>(fd, nullptr, path), path);
}

Error EnsureLocalDirectory(const std::string& path) {
  Error error;
  if (CreateLocalDirectoryHandle(path, &error)) return Error();
  if (error.Code() != kSystemError + ENOENT) return error;
  // Create the parents first, walking up until one exists.
  const std::filesystem::path folder(path);
  const std::filesystem::path parent = folder.parent_path();
  if (!parent.empty() && parent != folder) {
    Error parentError = EnsureLocalDirectory(parent.string());
    if (parentError.IsFailure()) return parentError;
  }
  if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return Posix::SystemError(errno, "mkdir", path, "");
  return Error();
}

}  // namespace LocalFs
