#pragma once

#include <sys/types.h>

#include <cstddef>
#include <list>
#include <memory>
#include <string>
#include <utility>

namespace LocalFs::Posix {

class PooledDescriptor;

// A descriptor in use: while a lease is held the pool never closes it.
class DescriptorLease {
 public:
  DescriptorLease() = default;
  DescriptorLease(PooledDescriptor* owner, int fd) : owner_(owner), fd_(fd) {}
  DescriptorLease(DescriptorLease&& other) noexcept;
  DescriptorLease& operator=(DescriptorLease&& other) noexcept;
  DescriptorLease(const DescriptorLease&) = delete;
  DescriptorLease& operator=(const DescriptorLease&) = delete;
  ~DescriptorLease();

  int Fd() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  void Release();

  PooledDescriptor* owner_ = nullptr;
  int fd_ = -1;
};

// A file or folder descriptor that the pool may close while it is idle and
// that opens itself again on next use. Servers cache handles for a whole
// mount; without this every cached folder and every written file would pin
// a descriptor until the process runs out of them.
//
// A reopened descriptor must name the same object as the first one (device
// and inode); if the name now leads elsewhere the object is reported gone
// (ESTALE) rather than silently swapped.
class PooledDescriptor {
 public:
  // Takes ownership of an open descriptor. A pinned descriptor is never
  // closed by the pool (for objects that cannot be reopened by name).
  PooledDescriptor(int fd, bool pinned);
  virtual ~PooledDescriptor();
  PooledDescriptor(const PooledDescriptor&) = delete;
  PooledDescriptor& operator=(const PooledDescriptor&) = delete;

  // The open descriptor, reopened if the pool closed it; an empty lease with
  // errno set when that fails.
  DescriptorLease Acquire();

  // The device of the object first opened; it never changes.
  dev_t Device() const { return device_; }

 protected:
  // Opens the object again; -1 with errno set on failure. Runs under the
  // pool's lock, so it may acquire other pooled descriptors (its parent).
  virtual int Reopen() = 0;

  // Checks that a reopened descriptor is still the object first opened.
  bool IsSameObject(int fd) const;

 private:
  friend class DescriptorPool;
  friend class DescriptorLease;

  int fd_;
  bool pinned_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  size_t leases_ = 0;
  bool listed_ = false;
  std::list<PooledDescriptor*>::iterator position_;
};

// An open folder, reopened from its parent folder by its entry name. A
// folder without a parent (opened by path) stays open.
class DirectoryDescriptor : public PooledDescriptor {
 public:
  DirectoryDescriptor(int fd, std::shared_ptr<DirectoryDescriptor> parent, std::string name)
      : PooledDescriptor(fd, parent == nullptr), parent_(std::move(parent)), name_(std::move(name)) {}

  const std::shared_ptr<DirectoryDescriptor>& Parent() const { return parent_; }

 protected:
  int Reopen() override;

 private:
  std::shared_ptr<DirectoryDescriptor> parent_;
  std::string name_;
};

// An open regular file, reopened from its folder with the access it was
// first opened with (never creating or truncating again).
class FileDescriptor : public PooledDescriptor {
 public:
  FileDescriptor(int fd, std::shared_ptr<DirectoryDescriptor> folder, std::string name, int flags)
      : PooledDescriptor(fd, false), folder_(std::move(folder)), name_(std::move(name)), flags_(flags) {}

 protected:
  int Reopen() override;

 private:
  std::shared_ptr<DirectoryDescriptor> folder_;
  std::string name_;
  int flags_;
};

}  // namespace LocalFs::Posix
