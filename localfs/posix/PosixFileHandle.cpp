#include "localfs/posix/PosixFileHandle.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

namespace LocalFs::Posix {

namespace {

constexpr uint64_t kMaxOffset = static_cast<uint64_t>(std::numeric_limits<off_t>::max());

}  // namespace

PosixFileHandle::PosixFileHandle(std::unique_ptr<FileDescriptor> file, std::string name, std::string folder)
    : file_(std::move(file)), name_(std::move(name)), folder_(std::move(folder)) {}

PosixFileHandle::~PosixFileHandle() = default;

DescriptorLease PosixFileHandle::Use(std::string_view call, Common::source_location where) {
  DescriptorLease lease = file_->Acquire();
  if (!lease) Fail(errno, call, where);
  return lease;
}

bool PosixFileHandle::Fail(int error, std::string_view call, Common::source_location where) {
  return status_.Fail(SystemError(error, call, name_, folder_, where));
}

bool PosixFileHandle::Seek(uint64_t position) {
  InjectFault("Seek");
  if (position > kMaxOffset) return Fail(EINVAL, "seek");
  position_ = position;
  return true;
}

bool PosixFileHandle::Read(void* buffer, size_t size, size_t& bytesRead) {
  InjectFault("Read");
  bytesRead = 0;
  const DescriptorLease file = Use("pread");
  if (!file) return false;
  auto* bytes = static_cast<uint8_t*>(buffer);
  while (bytesRead < size) {
    if (position_ > kMaxOffset) return Fail(EINVAL, "pread");
    const ssize_t count = pread(file.Fd(), bytes + bytesRead, size - bytesRead, static_cast<off_t>(position_));
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
  InjectFault("Write");
  bytesWritten = 0;
  const DescriptorLease file = Use("pwrite");
  if (!file) return false;
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  while (bytesWritten < size) {
    if (position_ > kMaxOffset - (size - bytesWritten)) return Fail(EFBIG, "pwrite");
    const ssize_t count =
        pwrite(file.Fd(), bytes + bytesWritten, size - bytesWritten, static_cast<off_t>(position_));
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
  InjectFault("Flush");
  const DescriptorLease file = Use("fsync");
  if (!file) return false;
  while (fsync(file.Fd()) != 0) {
    if (errno != EINTR) return Fail(errno, "fsync");
  }
  return true;
}

uint64_t PosixFileHandle::GetSize() {
  InjectFault("GetSize");
  const DescriptorLease file = Use("fstat");
  if (!file) return 0;
  struct stat st {};
  if (fstat(file.Fd(), &st) != 0) {
    Fail(errno, "fstat");
    return 0;
  }
  return static_cast<uint64_t>(st.st_size);
}

bool PosixFileHandle::SetSize(uint64_t size) {
  InjectFault("SetSize");
  if (size > kMaxOffset) return Fail(EFBIG, "ftruncate");
  const DescriptorLease file = Use("ftruncate");
  if (!file) return false;
  while (ftruncate(file.Fd(), static_cast<off_t>(size)) != 0) {
    if (errno != EINTR) return Fail(errno, "ftruncate");
  }
  return true;
}

bool PosixFileHandle::Control(std::vector<uint8_t>& request) {
  return status_.Fail(LibraryError(kNotSupported, "Local files answer no control requests."));
}

}  // namespace LocalFs::Posix
