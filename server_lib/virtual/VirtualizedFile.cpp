#include "server_lib/virtual/VirtualizedFile.h"

#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"
#include "server_lib/local/IoError.h"

namespace NFS {

namespace {

void Check(bool ok, LocalFs::LocalFileHandle& file,
           Common::source_location where = Common::source_location::current()) {
  if (!ok || file.GetStatus().IsFailure()) ThrowIoError(file.TakeStatus(), where);
}

}  // namespace

VirtualizedFile::VirtualizedFile(Common::WString path, std::shared_ptr<VirtualizedAttributes> attributes,
                                 std::shared_ptr<FileContentAccessor> content)
    : path_(std::move(path)),
      id_(MakeObjectId(kFileKind, path_)),
      attributes_(std::move(attributes)),
      content_(std::move(content)) {}

VirtualizedFile::~VirtualizedFile() { Common::Notice(kLogChannel, Messages::VirtualFileRemoved, path_); }

void VirtualizedFile::Read(uint64_t offset, uint32_t size, uint8_t* buffer, uint32_t& bytesRead) {
  content_->WithFile([&](LocalFs::LocalFileHandle& file) {
    if (file.GetPosition() != offset) Check(file.Seek(offset), file);
    size_t count = 0;
    Check(file.Read(buffer, size, count), file);
    bytesRead = static_cast<uint32_t>(count);
  });
}

void VirtualizedFile::Write(uint64_t offset, uint32_t size, const uint8_t* buffer, uint32_t& bytesWritten) {
  content_->WithFile([&](LocalFs::LocalFileHandle& file) {
    Check(file.Seek(offset), file);
    size_t count = 0;
    Check(file.Write(buffer, size, count), file);
    bytesWritten = static_cast<uint32_t>(count);
  });
}

void VirtualizedFile::Commit() {
  content_->WithFile([&](LocalFs::LocalFileHandle& file) { Check(file.Flush(), file); });
}

void VirtualizedFile::IOCTL(std::vector<uint8_t>& request) {
  content_->WithFile([&](LocalFs::LocalFileHandle& file) { Check(file.Control(request), file); });
}

}  // namespace NFS
