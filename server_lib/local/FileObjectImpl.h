#pragma once

#include <memory>

#include "localfs/LocalFs.h"
#include "server_lib/objects/FileSystemObject.h"

namespace NFS {

// One local regular file, opened lazily: at most one open instance, read-only
// until the first write or commit, closed again when a read reaches the end.
class FileObjectImpl : public FileObject {
 public:
  FileObjectImpl(std::shared_ptr<LocalFs::LocalDirectoryHandle> local, Common::WString path, Common::WString name,
                 std::unique_ptr<LocalFs::LocalEntryCursor> seen = nullptr);

  Common::WString GetPath() override;
  ObjectId GetId() override;
  std::shared_ptr<AttributesAccessor> GetAttributes() override;
  std::shared_ptr<AttributesModifier> GetAttributesModifier() override;

  void Read(uint64_t offset, uint32_t size, uint8_t* buffer, uint32_t& bytesRead) override;
  void Write(uint64_t offset, uint32_t size, const uint8_t* buffer, uint32_t& bytesWritten) override;
  void Commit() override;
  void IOCTL(std::vector<uint8_t>& request) override;

 private:
  LocalFs::LocalFileHandle& OpenIFile();
  LocalFs::LocalFileHandle& OpenOFile();
  void SeekTo(LocalFs::LocalFileHandle& file, uint64_t offset);

  std::shared_ptr<LocalFs::LocalDirectoryHandle> local_;
  Common::WString path_;
  ObjectId id_;  // computed once: the digest is deliberately slow
  Common::WString name_;
  std::unique_ptr<LocalFs::LocalFileHandle> readOnly_;
  std::unique_ptr<LocalFs::LocalFileHandle> readWrite_;
};

}  // namespace NFS
