#include "localfs/posix/PosixFileHandle.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

namespace LocalFs::Posix {

namespace {

constexpr uint64_t kMaxOffset = static_cast<uint64_t>(std::numeric_limits<off_t>::max());

}  // namespace

PosixFileHandle::PosixFileHandle(int fd, std::string name, std::string folder)
    : fd_(fd), name_(std::move(name)), folder_(std::move(folder)) {}

PosixFileHandle::~PosixFileHandle() { close(fd_); }

bool PosixFileHandle::Fail(int error, std::string_view call, Common::source_location where) {
  return status_.Fail(SystemError(error, call, name_, folder_, where));
}

bool PosixFileHandle::Seek(uint64_t position) {
  if (position > kMaxOffset) return Fail(EINVAL, "seek");
  position_ = position;
  return true;
}

bool PosixFileHandle::Read(void* buffer, size_t size, size_t& bytesRead) {
  bytesRead = 0;
  auto* bytes = static_cast<uint8_t*>(buffer);
  while (bytesRead < size) {
    if (position_ > kMaxOffset) return Fail(EINVAL, "pread");
    const ssize_t count = pread(fd_, bytes + bytesRead, size - bytesRead, static_cast<off_t>(position_));
    if (count < 0) {
      if (errno == EINTR) continue;
      return Fail(errno, "pread");
    }
    if (count == 0) break;  // end of file
    bytesRead += static_cast<size_t>(count);
    position_ += static_cast<uint64_t>(count);
  }
  return true;
}

bool PosixFileHandle::Write(const void* buffer, size_t size, size_t& bytesWritten) {
  bytesWritten = 0;
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  while (bytesWritten < size) {
    if (position_ > kMaxOffset - (size - bytesWritten)) return Fail(EFBIG, "pwrite");
    const ssize_t count =
        pwrite(fd_, bytes + bytesWritten, size - bytesWritten, static_cast<off_t>(position_));
    if (count < 0) {
      if (errno == EINTR) continue;
      return Fail(errno, "pwrite");
    }
    if (count == 0) return Fail(EIO, "pwrite");  // no progress: give up, never spin
    bytesWritten += static_cast<size_t>(count);
    position_ += static_cast<uint64_t>(count);
  }
  return true;
}

bool PosixFileHandle::Flush() {
  while (fsync(fd_) != 0) {
    if (errno != EINTR) return Fail(errno, "fsync");
  }
  return true;
}

uint64_t PosixFileHandle::GetSize() {
  struct stat st {};
  if (fstat(fd_, &st) != 0) {
    Fail(errno, "fstat");
    return 0;
  }
  return static_cast<uint64_t>(st.st_size);
}

bool PosixFileHandle::SetSize(uint64_t size) {
  if (size > kMaxOffset) return Fail(EFBIG, "ftruncate");
  while (ftruncate(fd_, static_cast<off_t>(size)) != 0) {
    if (errno != EINTR) return Fail(errno, "ftruncate");
  }
  return true;
}

bool PosixFileHandle::Control(std::vector<uint8_t>& request) {
  return status_.Fail(LibraryError(kNotSupported, "Local files answer no control requests."));
}

}  // namespace LocalFs::Posix
