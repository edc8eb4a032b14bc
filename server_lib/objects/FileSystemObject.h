#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "host/Strings.h"
#include "server_lib/core/ObjectId.h"
#include "server_lib/objects/Attributes.h"
#include "server_lib/objects/DirEntriesEnumerator.h"
#include "server_lib/objects/FileSystemInfo.h"

namespace NFS {

// Every exported thing: a directory or a regular file, named by its path
// (share name first, "/" between names) and by the id derived from it.
// Operations throw Common::Error on failure unless stated otherwise.
class FileSystemObject {
 public:
  virtual ~FileSystemObject() = default;
  virtual Common::WString GetPath() = 0;
  virtual ObjectId GetId() = 0;
  virtual std::shared_ptr<AttributesAccessor> GetAttributes() = 0;
  virtual std::shared_ptr<AttributesModifier> GetAttributesModifier() = 0;
};

class DirObject : public FileSystemObject {
 public:
  virtual std::unique_ptr<FSInfo> GetFSInfo() = 0;
  virtual std::unique_ptr<FSStat> GetFSStat() = 0;
  // Id 0 asks for a new enumerator; an unknown id gives an empty pointer.
  virtual std::shared_ptr<DirEntriesEnumerator> GetEnumerator(uint64_t id) = 0;
  // Empty when there is no such visible child.
  virtual std::shared_ptr<FileSystemObject> Lookup(const Common::WString& name) = 0;
  // These report nothing; callers confirm the outcome with Lookup.
  virtual void CreateFile(const Common::WString& name) = 0;
  virtual void CreateDir(const Common::WString& name) = 0;
  virtual void DeleteFile(const Common::WString& name) = 0;
  virtual void DeleteDir(const Common::WString& name) = 0;
  virtual void Rename(const Common::WString& from, const Common::WString& to) = 0;
};

class FileObject : public FileSystemObject {
 public:
  virtual void Read(uint64_t offset, uint32_t size, uint8_t* buffer, uint32_t& bytesRead) = 0;
  virtual void Write(uint64_t offset, uint32_t size, const uint8_t* buffer,
                     uint32_t& bytesWritten) = 0;
  virtual void Commit() = 0;
  // Forwards a control request record to the content, answered in place.
  virtual void IOCTL(std::vector<uint8_t>& request) = 0;
};

}  // namespace NFS
