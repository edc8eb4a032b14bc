#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <optional>
#include <string>

#include "localfs/LocalFs.h"
#include "localfs/posix/PosixStatus.h"

namespace LocalFs::Posix {

// Either one entry (from fstatat) or a walk over a whole directory stream.
class PosixEntryCursor : public LocalEntryCursor {
 public:
  // A single entry of a folder on `folderDevice`; a folder entry on another
  // device is a mount point. The folder itself is given no device.
  PosixEntryCursor(std::string rawName, const struct stat& st, std::optional<dev_t> folderDevice);
  // A listing; takes ownership of the stream.
  PosixEntryCursor(DIR* stream, std::string folder, dev_t folderDevice);
  ~PosixEntryCursor() override;
  PosixEntryCursor(const PosixEntryCursor&) = delete;
  PosixEntryCursor& operator=(const PosixEntryCursor&) = delete;

  const Error& GetStatus() const override { return status_.Get(); }
  Error TakeStatus() override { return status_.Take(); }

  void Next() override;
  bool IsValid() const override { return valid_; }

  // The name as the file system holds it, whatever its encoding.
  const std::string& GetRawName() const { return rawName_; }

  WString GetName() const override;
  uint32_t GetDosAttributes() const override;
  uint32_t GetReparseTag() const override;
  uint64_t GetEndOfFile() const override;
  uint64_t GetAllocationSize() const override;
  uint64_t GetLastAccessTime() const override;
  uint64_t GetLastWriteTime() const override;
  uint64_t GetChangeTime() const override;
  uint32_t GetLinkCount() const override;
  uint64_t GetFileReference() const override;
  uint32_t GetUnixMode() const override;
  uint32_t GetUnixUid() const override;
  uint32_t GetUnixGid() const override;
  std::pair<uint32_t, uint32_t> GetDevice() const override;

 private:
  void End();
  // Types that must never be opened as files look like symbolic links.
  bool IsLinkLike() const;

  // Another file system mounted on a folder entry: listed, never entered.
  bool IsMountPoint() const;

  std::string rawName_;
  struct stat stat_ {};
  std::optional<dev_t> folderDevice_;
  bool valid_ = false;
  DIR* stream_ = nullptr;
  std::string folder_;
  Status status_;
};

}  // namespace LocalFs::Posix
