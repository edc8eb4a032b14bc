#pragma once

#include <memory>
#include <string>

#include "localfs/LocalFs.h"
#include "localfs/posix/DescriptorPool.h"
#include "localfs/posix/PosixStatus.h"

namespace LocalFs::Posix {

// Positioned reads and writes straight on the descriptor: nothing is
// buffered in this process, so a crash loses nothing the OS acknowledged.
class PosixFileHandle : public LocalFileHandle {
 public:
  PosixFileHandle(std::unique_ptr<FileDescriptor> file, std::string name, std::string folder);
  ~PosixFileHandle() override;
  PosixFileHandle(const PosixFileHandle&) = delete;
  PosixFileHandle& operator=(const PosixFileHandle&) = delete;

  const Error& GetStatus() const override { return status_.Get(); }
  Error TakeStatus() override { return status_.Take(); }

  uint64_t GetPosition() const override { return position_; }
  bool Seek(uint64_t position) override;
  bool Read(void* buffer, size_t size, size_t& bytesRead) override;
  bool Write(const void* buffer, size_t size, size_t& bytesWritten) override;
  bool Flush() override;
  uint64_t GetSize() override;
  bool SetSize(uint64_t size) override;
  bool Control(std::vector<uint8_t>& request) override;

 private:
  bool Fail(int error, std::string_view call,
            Common::source_location where = Common::source_location::current());

  DescriptorLease Use(std::string_view call,
                      Common::source_location where = Common::source_location::current());

  std::unique_ptr<FileDescriptor> file_;
  std::string name_;
  std::string folder_;
  uint64_t position_ = 0;
  Status status_;
};

}  // namespace LocalFs::Posix
