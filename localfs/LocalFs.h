#pragma once

// The local file-system library: open directories, entry cursors and open
// files. Nothing here throws; every handle records the status of its last
// failed operation, which the caller reads (and may take and reset).
//
// Every name-taking operation acts relative to the directory's own open
// descriptor and accepts only single entry names (see IsValidEntryName), so
// no name can reach outside the directory. Symbolic links are never
// followed: they are reported as symbolic-link-like entries and cannot be
// opened, created through, or removed as directories.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/Error.h"
#include "host/Strings.h"

namespace LocalFs {

using Common::Error;
using Common::WString;

// Status codes recorded by this library (module part 0x183). An operating
// system failure is kSystemError + errno.
inline constexpr uint32_t kSystemError = 0x1830000;
inline constexpr uint32_t kEndOfListing = 0x1831001;
inline constexpr uint32_t kInvalidName = 0x1831002;
inline constexpr uint32_t kNotSupported = 0x1831003;
inline constexpr uint32_t kNotRegularFile = 0x1831004;

// DOS attribute bits reported by entry cursors.
inline constexpr uint32_t kAttributeReadOnly = 0x1;
inline constexpr uint32_t kAttributeDirectory = 0x10;
inline constexpr uint32_t kAttributeSparse = 0x200;
inline constexpr uint32_t kAttributeReparsePoint = 0x400;
inline constexpr uint32_t kAttributeCompressed = 0x800;
inline constexpr uint32_t kAttributeOffline = 0x1000;
inline constexpr uint32_t kUnknown32 = 0xFFFFFFFF;

// Reparse tag of symbolic links; also given to entries that must never be
// opened as files (devices, FIFOs, sockets).
inline constexpr uint32_t kReparseTagSymlink = 0xA000000C;
// Reparse tag of a folder on which another file system is mounted: such a
// folder is listed but never entered, as NFS servers do not cross mounts.
inline constexpr uint32_t kReparseTagMountPoint = 0xA0000003;

// 1 to 255 code units, not "." or "..", no code 0 to 31, none of " * / : < > ? \ |.
bool IsValidEntryName(Common::WStringView name);

class StatusHolder {
 public:
  virtual ~StatusHolder() = default;
  // The last error recorded, or success.
  virtual const Error& GetStatus() const = 0;
  // Returns the recorded status and resets it to success.
  virtual Error TakeStatus() = 0;
};

// One directory entry, or a walk over all entries of a directory. Queries on
// a cursor in error give neutral values: 0, kUnknown32 for DOS attributes and
// permission bits, 1 for the link count.
class LocalEntryCursor : public StatusHolder {
 public:
  // Steps to the following entry; past the last one the status records
  // kEndOfListing. A single-entry cursor ends at its first step.
  virtual void Next() = 0;
  virtual bool IsValid() const = 0;

  virtual WString GetName() const = 0;
  virtual uint32_t GetDosAttributes() const = 0;
  virtual uint32_t GetReparseTag() const = 0;
  virtual uint64_t GetEndOfFile() const = 0;
  virtual uint64_t GetAllocationSize() const = 0;
  // Milliseconds since 1970-01-01 UTC.
  virtual uint64_t GetLastAccessTime() const = 0;
  virtual uint64_t GetLastWriteTime() const = 0;
  virtual uint64_t GetChangeTime() const = 0;
  virtual uint32_t GetLinkCount() const = 0;
  virtual uint64_t GetFileReference() const = 0;
  virtual uint32_t GetUnixMode() const = 0;
  virtual uint32_t GetUnixUid() const = 0;
  virtual uint32_t GetUnixGid() const = 0;
  virtual std::pair<uint32_t, uint32_t> GetDevice() const = 0;
};

// An open regular file with its own position. Writes go straight to the
// operating system; Flush reaches the disk.
class LocalFileHandle : public StatusHolder {
 public:
  virtual uint64_t GetPosition() const = 0;
  virtual bool Seek(uint64_t position) = 0;
  virtual bool Read(void* buffer, size_t size, size_t& bytesRead) = 0;
  virtual bool Write(const void* buffer, size_t size, size_t& bytesWritten) = 0;
  virtual bool Flush() = 0;
  virtual uint64_t GetSize() = 0;
  virtual bool SetSize(uint64_t size) = 0;
  // A control request record, answered in place; kNotSupported when the
  // request is unknown.
  virtual bool Control(std::vector<uint8_t>& request) = 0;
};

enum class FileAccess { Read, Write, ReadWrite };

class LocalDirectoryHandle : public StatusHolder {
 public:
  // The local path, for traces.
  virtual const std::string& GetLocalPath() const = 0;

  // "." and ".." are accepted here; all other names must be valid entry names.
  virtual std::unique_ptr<LocalDirectoryHandle> OpenDirectory(const WString& name) = 0;
  virtual std::unique_ptr<LocalDirectoryHandle> OpenDirectory(const LocalEntryCursor& entry) = 0;

  // A cursor on one entry; null when it does not exist or the name is invalid.
  virtual std::unique_ptr<LocalEntryCursor> GetEntry(const WString& name) = 0;
  // A cursor on the directory itself, named by its last path component.
  virtual std::unique_ptr<LocalEntryCursor> GetSelfEntry() = 0;
  // A walk over all entries, never yielding "." or "..".
  virtual std::unique_ptr<LocalEntryCursor> ListEntries() = 0;
  // The names of the plain files and folders in it, with whether each is a
  // folder, as the listing tells without a stat of each (a stat only where
  // the file system does not say). Cheap enough to guess what a client will
  // look up next; nothing more. Stops when `visit` returns false.
  virtual bool VisitNames(const std::function<bool(const WString& name, bool folder)>& visit) = 0;

  // Read and write, made anew: fails (EEXIST) when the name exists.
  virtual std::unique_ptr<LocalFileHandle> CreateFile(const WString& name) = 0;
  // An existing regular file; never creates.
  virtual std::unique_ptr<LocalFileHandle> OpenFile(const WString& name, FileAccess access) = 0;

  virtual bool CreateDirectory(const WString& name) = 0;
  virtual bool DeleteFile(const WString& name) = 0;
  virtual bool RemoveDirectory(const WString& name) = 0;
  // Replaces an existing file of the new name, never an existing directory.
  virtual bool Rename(const WString& from, const WString& to) = 0;

  // The name "." means this folder itself, changed through its own
  // descriptor. Only the permission bits 0777 are ever set.
  virtual bool SetUnixPermissions(const WString& name, uint32_t mode) = 0;
  virtual bool SetUnixOwner(const WString& name, uint32_t uid, uint32_t gid) = 0;
  virtual bool SetDosAttributes(const WString& name, uint32_t attributes) = 0;

  virtual bool GetDriveSizes(uint64_t& total, uint64_t& free, uint64_t& available) = 0;
  // "GFST": 4-byte tag then 64 UTF-16LE units receiving the file-system name.
  virtual bool Control(std::vector<uint8_t>& request) = 0;
};

// Files and folders opened through this library share a bounded set of
// descriptors: idle ones are closed and opened again, transparently, when
// next used. Folders opened by path are never closed this way. The limit
// may be passed while more descriptors than that are in use at once.
inline constexpr size_t kDefaultDescriptorLimit = 1000;
void SetDescriptorLimit(size_t limit);
// The descriptors open in that set now.
size_t GetPooledDescriptorCount();
size_t GetDescriptorLimit();

// For tests of what runs above this library: a hook called at the start of
// every file, folder and listing operation with its name ("GetEntry",
// "Read", "Next" ...), which may throw, as a failing allocation inside the
// operation would. Null (the default) costs one load per operation.
using FaultHook = void (*)(const char* operation);
void SetFaultHook(FaultHook hook);

// Opens a local folder by its path. Null with *error set when it cannot be opened.
std::unique_ptr<LocalDirectoryHandle> CreateLocalDirectoryHandle(const std::string& path,
                                                                 Error* error = nullptr);

// Makes sure a local folder exists, creating it and every missing parent
// folder. For operators' paths, not for client names.
Error EnsureLocalDirectory(const std::string& path);

}  // namespace LocalFs
