#pragma once

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace TestSupport {

// A small tmpfs mounted on an existing folder for the life of the object,
// standing for another file system inside an export. Mounting needs root;
// Failed() then says why, for the test's skip message.
class ScopedTmpfs {
 public:
  explicit ScopedTmpfs(std::string path) : path_(std::move(path)) {
    if (mount("none", path_.c_str(), "tmpfs", 0, "size=1m") != 0) error_ = std::strerror(errno);
  }
  ~ScopedTmpfs() {
    if (error_.empty()) umount2(path_.c_str(), MNT_DETACH);
  }
  ScopedTmpfs(const ScopedTmpfs&) = delete;
  ScopedTmpfs& operator=(const ScopedTmpfs&) = delete;

  bool Failed() const { return !error_.empty(); }
  std::string Why() const { return "cannot mount a tmpfs here (needs root): " + error_; }

 private:
  std::string path_;
  std::string error_;
};

}  // namespace TestSupport
