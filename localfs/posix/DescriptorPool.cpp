#include "localfs/posix/DescriptorPool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "localfs/LocalFs.h"

namespace LocalFs::Posix {

// One pool per process: the descriptor limit is per process too.
class DescriptorPool {
 public:
  static DescriptorPool& Instance() {
    // Never destroyed: handles held by other static objects may close late.
    static auto* pool = new DescriptorPool;
    return *pool;
  }

  // Recursive: a folder reopens through its parent while the lock is held.
  std::recursive_mutex mutex;
  // Unpinned open descriptors, most recently used first.
  std::list<PooledDescriptor*> open;
  size_t limit = kDefaultDescriptorLimit;

  void Touch(PooledDescriptor& d) {
    if (d.pinned_) return;
    if (d.listed_) {
      open.splice(open.begin(), open, d.position_);
    } else {
      open.push_front(&d);
      d.position_ = open.begin();
      d.listed_ = true;
    }
  }

  void Unlist(PooledDescriptor& d) {
    if (!d.listed_) return;
    open.erase(d.position_);
    d.listed_ = false;
  }

  // Closes idle descriptors from the least recently used end. Those in use
  // stay open, so the limit may be passed while many are leased at once.
  void Trim() {
    auto it = open.end();
    while (open.size() > limit && it != open.begin()) {
      --it;
      PooledDescriptor* d = *it;
      if (d->leases_ != 0) continue;
      it = open.erase(it);
      d->listed_ = false;
      close(d->fd_);
      d->fd_ = -1;
    }
  }
};

PooledDescriptor::PooledDescriptor(int fd, bool pinned) : fd_(fd), pinned_(pinned) {
  struct stat st {};
  if (fd_ >= 0 && fstat(fd_, &st) == 0) {
    device_ = st.st_dev;
    inode_ = st.st_ino;
  }
  DescriptorPool& pool = DescriptorPool::Instance();
  std::lock_guard lock(pool.mutex);
  if (fd_ >= 0) {
    pool.Touch(*this);
    pool.Trim();
  }
}

PooledDescriptor::~PooledDescriptor() {
  DescriptorPool& pool = DescriptorPool::Instance();
  std::lock_guard lock(pool.mutex);
  pool.Unlist(*this);
  if (fd_ >= 0) close(fd_);
}

bool PooledDescriptor::IsSameObject(int fd) const {
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  return st.st_dev == device_ && st.st_ino == inode_;
}

DescriptorLease PooledDescriptor::Acquire() {
  DescriptorPool& pool = DescriptorPool::Instance();
  std::lock_guard lock(pool.mutex);
  if (fd_ < 0) {
    const int fd = Reopen();
    if (fd < 0) return {};
    if (!IsSameObject(fd)) {
      close(fd);
      errno = ESTALE;
      return {};
    }
    fd_ = fd;
  }
  ++leases_;
  pool.Touch(*this);
  pool.Trim();
  return DescriptorLease(this, fd_);
}

int DirectoryDescriptor::Reopen() {
  if (!parent_) {
    errno = ESTALE;
    return -1;
  }
  DescriptorLease parent = parent_->Acquire();
  if (!parent) return -1;
  return openat(parent.Fd(), name_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

int FileDescriptor::Reopen() {
  DescriptorLease folder = folder_->Acquire();
  if (!folder) return -1;
  // Non-blocking for the open only, in case something else now sits under
  // the name; the identity check then refuses it.
  const int fd = openat(folder.Fd(), name_.c_str(),
                        (flags_ & ~(O_CREAT | O_TRUNC | O_EXCL)) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY |
                            O_CLOEXEC);
  if (fd < 0) return -1;
  const int fileFlags = fcntl(fd, F_GETFL);
  if (fileFlags < 0 || fcntl(fd, F_SETFL, fileFlags & ~O_NONBLOCK) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

DescriptorLease::DescriptorLease(DescriptorLease&& other) noexcept
    : owner_(other.owner_), fd_(other.fd_) {
  other.owner_ = nullptr;
  other.fd_ = -1;
}

DescriptorLease& DescriptorLease::operator=(DescriptorLease&& other) noexcept {
  if (this != &other) {
    Release();
    owner_ = other.owner_;
    fd_ = other.fd_;
    other.owner_ = nullptr;
    other.fd_ = -1;
  }
  return *this;
}

DescriptorLease::~DescriptorLease() { Release(); }

void DescriptorLease::Release() {
  if (owner_ == nullptr) return;
  const int saved = errno;  // callers read errno after a failed call made under the lease
  DescriptorPool& pool = DescriptorPool::Instance();
  {
    std::lock_guard lock(pool.mutex);
    --owner_->leases_;
  }
  errno = saved;
  owner_ = nullptr;
  fd_ = -1;
}

}  // namespace LocalFs::Posix

namespace LocalFs {

void SetDescriptorLimit(size_t limit) {
  Posix::DescriptorPool& pool = Posix::DescriptorPool::Instance();
  std::lock_guard lock(pool.mutex);
  pool.limit = limit == 0 ? 1 : limit;
  pool.Trim();
}

size_t GetDescriptorLimit() {
  Posix::DescriptorPool& pool = Posix::DescriptorPool::Instance();
  std::lock_guard lock(pool.mutex);
  return pool.limit;
}

size_t GetPooledDescriptorCount() {
  Posix::DescriptorPool& pool = Posix::DescriptorPool::Instance();
  std::lock_guard lock(pool.mutex);
  return pool.open.size();
}

}  // namespace LocalFs
