#include "server_lib/local/FileObjectImpl.h"

#include <cerrno>


#include "host/Logging.h"
#include "server_lib/core/Operations.h"
#include "server_lib/core/ServerErrors.h"
#include "server_lib/local/AttributesAccessorImpl.h"
#include "server_lib/local/AttributesModifierImpl.h"
#include "server_lib/local/IoError.h"
#include "server_lib/local/LocalObjects.h"

namespace NFS {

namespace {

// One slot per thread rather than a member of every cached file: only the
// newest lookup's stat is ever wanted, by the same operation, for any
// object of that entry (the lookup may find an older one in the cache).
struct SeenStat {
  const LocalFs::LocalDirectoryHandle* directory = nullptr;
  Common::WString name;
  uint64_t operation = 0;
  std::unique_ptr<LocalFs::LocalEntryCursor> entry;
};
thread_local SeenStat t_seen;

// A file that cannot be opened because its name holds a folder now (or a
// link, a device) is no longer this object: the handle is stale.
[[noreturn]] void ThrowOpenFailure(Common::Error status,
                                   Common::source_location where = Common::source_location::current()) {
  const uint32_t code = status.Code();
  if (code == ErrorCode::LocalSystemError + EISDIR || code == ErrorCode::LocalNotRegularFile) {
    throw Common::Error(ErrorCode::ObjectNotFound, Common::FormatMessage(Messages::KindChanged), std::move(status),
                        where);
  }
  ThrowIoError(std::move(status), where);
}

}  // namespace

std::shared_ptr<FileObject> CreateLocalFileObject(std::shared_ptr<LocalFs::LocalDirectoryHandle> local,
                                                  const Common::WString& directoryPath,
                                                  const Common::WString& name,
                                                  std::unique_ptr<LocalFs::LocalEntryCursor> seen) {
  return std::make_shared<FileObjectImpl>(std::move(local), directoryPath + u"/" + name, name, std::move(seen));
}

FileObjectImpl::FileObjectImpl(std::shared_ptr<LocalFs::LocalDirectoryHandle> local, Common::WString path,
                               Common::WString name, std::unique_ptr<LocalFs::LocalEntryCursor> seen)
    : local_(std::move(local)),
      path_(std::move(path)),
      id_(MakeObjectId(kFileKind, path_)),
      name_(std::move(name)) {
  if (seen) t_seen = {local_.get(), name_, CurrentOperation(), std::move(seen)};
}

Common::WString FileObjectImpl::GetPath() { return path_; }

ObjectId FileObjectImpl::GetId() { return id_; }

std::shared_ptr<AttributesAccessor> FileObjectImpl::GetAttributes() {
  // The stat that found this entry a moment ago, in this same operation.
  if (t_seen.entry && t_seen.directory == local_.get() && t_seen.name == name_) {
    SeenStat seen = std::exchange(t_seen, {});
    if (!readWrite_ && seen.operation == CurrentOperation()) {
      return std::make_shared<AttributesAccessorImpl>(std::move(seen.entry));
    }
  }
  // Writes go straight to the operating system, so a stat is exact with a
  // file open for writing too: nothing to flush (that waits for COMMIT).
  std::shared_ptr<LocalFs::LocalEntryCursor> entry = local_->GetEntry(name_);
  if (!entry) {
    // The entry went away underneath us: a missing object, not an I/O fault.
    throw Common::Error(ErrorCode::NotFound, Common::FormatMessage(Messages::FileNotFound),
                        local_->TakeStatus());
  }
  // The name now holds a folder (or another kind of entry): not this file.
  if (AttributesAccessorImpl::TypeCodeOf(*entry) != ObjectTypeCode::RegularFile) {
    throw Common::Error(ErrorCode::ObjectNotFound, Common::FormatMessage(Messages::KindChanged));
  }
  return std::make_shared<AttributesAccessorImpl>(std::move(entry));
}

std::shared_ptr<AttributesModifier> FileObjectImpl::GetAttributesModifier() {
  return std::make_shared<AttributesModifierImpl>(*local_, name_);
}

LocalFs::LocalFileHandle& FileObjectImpl::OpenIFile() {
  if (readWrite_) return *readWrite_;
  if (readOnly_) return *readOnly_;
  Common::Trace(kLogChannel, "File({0}): open for read", path_);
  readOnly_ = local_->OpenFile(name_, LocalFs::FileAccess::Read);
  if (!readOnly_) ThrowOpenFailure(local_->TakeStatus());
  return *readOnly_;
}

LocalFs::LocalFileHandle& FileObjectImpl::OpenOFile() {
  bool reopening = false;
  if (readOnly_) {
    Common::Trace(kLogChannel, "File({0}): closing ro file- switch to rw mode.", path_);
    readOnly_.reset();
    reopening = true;
  } else if (readWrite_) {
    return *readWrite_;
  }
  Common::Trace(kLogChannel, "File({0}): {1}open for write", path_, reopening ? "re" : "");
  readWrite_ = local_->OpenFile(name_, LocalFs::FileAccess::ReadWrite);
  if (!readWrite_) ThrowOpenFailure(local_->TakeStatus());
  return *readWrite_;
}

void FileObjectImpl::SeekTo(LocalFs::LocalFileHandle& file, uint64_t offset) {
  if (file.GetPosition() != offset && !file.Seek(offset)) ThrowIoError(file.TakeStatus());
}

void FileObjectImpl::Read(uint64_t offset, uint32_t size, uint8_t* buffer, uint32_t& bytesRead) {
  LocalFs::LocalFileHandle& file = OpenIFile();
  SeekTo(file, offset);
  size_t count = 0;
  if (!file.Read(buffer, size, count)) ThrowIoError(file.TakeStatus());
  bytesRead = static_cast<uint32_t>(count);
  if (file.GetPosition() >= file.GetSize()) {
    // NFS has no close; a read to the end is the best sign the client is done.
    if (readWrite_) {
      Common::Trace(kLogChannel, "File({0}): closing rw file.", path_);
      readWrite_.reset();
    } else {
      Common::Trace(kLogChannel, "File({0}): closing ro file.", path_);
      readOnly_.reset();
    }
  }
}

void FileObjectImpl::Write(uint64_t offset, uint32_t size, const uint8_t* buffer,
                           uint32_t& bytesWritten) {
  LocalFs::LocalFileHandle& file = OpenOFile();
  SeekTo(file, offset);
  size_t count = 0;
  if (!file.Write(buffer, size, count)) ThrowIoError(file.TakeStatus());
  bytesWritten = static_cast<uint32_t>(count);
}

void FileObjectImpl::Commit() {
  LocalFs::LocalFileHandle& file = OpenOFile();
  if (!file.Flush()) ThrowIoError(file.TakeStatus());
}

void FileObjectImpl::IOCTL(std::vector<uint8_t>& request) {
  LocalFs::LocalFileHandle& file = OpenIFile();
  if (!file.Control(request)) ThrowIoError(file.TakeStatus());
}

}  // namespace NFS
