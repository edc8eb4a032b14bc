#pragma once

#include <memory>
#include <string>

#include "localfs/LocalFs.h"
#include "localfs/posix/DescriptorPool.h"
#include "localfs/posix/PosixStatus.h"

namespace LocalFs::Posix {

// An open folder. Every operation is relative to its descriptor and takes
// single entry names only; nothing follows a symbolic link.
class PosixDirectoryHandle : public LocalDirectoryHandle {
 public:
  PosixDirectoryHandle(std::shared_ptr<DirectoryDescriptor> node, std::string localPath);
  ~PosixDirectoryHandle() override;
  PosixDirectoryHandle(const PosixDirectoryHandle&) = delete;
  PosixDirectoryHandle& operator=(const PosixDirectoryHandle&) = delete;

  const Error& GetStatus() const override { return status_.Get(); }
  Error TakeStatus() override { return status_.Take(); }

  const std::string& GetLocalPath() const override { return localPath_; }

  std::unique_ptr<LocalDirectoryHandle> OpenDirectory(const WString& name) override;
  std::unique_ptr<LocalDirectoryHandle> OpenDirectory(const LocalEntryCursor& entry) override;
  std::unique_ptr<LocalEntryCursor> GetEntry(const WString& name) override;
  std::unique_ptr<LocalEntryCursor> GetSelfEntry() override;
  std::unique_ptr<LocalEntryCursor> ListEntries() override;
  bool VisitNames(const std::function<bool(const WString& name, bool folder)>& visit) override;
  std::unique_ptr<LocalFileHandle> CreateFile(const WString& name) override;
  std::unique_ptr<LocalFileHandle> OpenFile(const WString& name, FileAccess access) override;
  bool CreateDirectory(const WString& name) override;
  bool DeleteFile(const WString& name) override;
  bool RemoveDirectory(const WString& name) override;
  bool Rename(const WString& from, const WString& to) override;
  bool SetUnixPermissions(const WString& name, uint32_t mode) override;
  bool SetUnixOwner(const WString& name, uint32_t uid, uint32_t gid) override;
  bool SetDosAttributes(const WString& name, uint32_t attributes) override;
  bool GetDriveSizes(uint64_t& total, uint64_t& free, uint64_t& available) override;
  bool Control(std::vector<uint8_t>& request) override;

 private:
  std::unique_ptr<LocalDirectoryHandle> OpenChild(const std::string& raw, std::string childPath,
                                                  Common::source_location where);
  std::unique_ptr<LocalFileHandle> OpenRegular(const std::string& local, int flags,
                                               Common::source_location where);
  void NotRegular(const std::string& local, Common::source_location where);
  bool Fail(int error, std::string_view call, std::string_view name,
            Common::source_location where = Common::source_location::current());
  bool AnswerFileSystemName(std::vector<uint8_t>& request);

  DescriptorLease Use(Common::source_location where = Common::source_location::current());

  std::shared_ptr<DirectoryDescriptor> node_;
  std::string localPath_;
  Status status_;
};

}  // namespace LocalFs::Posix
