#pragma once

#include <map>
#include <memory>

#include "server_lib/virtual/VirtualFilesProvider.h"
#include "server_lib/virtual/VirtualFolder.h"

namespace NFS {

// Folder records by folder path; a record, once made, stays for the
// provider's lifetime. One mutex guards the folder table and every file map.
class VirtualFilesProviderImpl : public VirtualFilesProvider {
 public:
  explicit VirtualFilesProviderImpl(std::shared_ptr<VirtualFilePlugin> plugin);

  std::shared_ptr<DirObject> GetMixinDirectory(const Common::WString& path) override;
  void AddVirtualFile(const Common::WString& path, uint64_t size, const Common::WString& uri,
                      const SourceParams& params) override;
  void DeleteVirtualFile(const Common::WString& path) override;
  std::shared_ptr<FileObject> FindVirtualFile(const Common::WString& path) override;
  void ControlVirtualFile(const Common::WString& path, std::vector<uint8_t>& request) override;
  void CountVirtualFiles(uint64_t& files, uint64_t& bytes) override;

 private:
  // Callers hold the lock.
  VirtualFolderContent& FolderFor(const Common::WString& folder);

  std::shared_ptr<VirtualFilePlugin> plugin_;
  std::map<Common::WString, std::shared_ptr<VirtualFolderContent>> folders_;
  std::shared_ptr<VirtualTableLock> lock_ = std::make_shared<VirtualTableLock>();
};

}  // namespace NFS
