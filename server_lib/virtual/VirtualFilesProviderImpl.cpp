#include "server_lib/virtual/VirtualFilesProviderImpl.h"

#include "server_lib/core/ServerErrors.h"
#include "server_lib/virtual/FileContentAccessor.h"
#include "server_lib/virtual/VirtualizedAttributes.h"
#include "server_lib/virtual/VirtualizedDir.h"
#include "server_lib/virtual/VirtualizedFile.h"

namespace NFS {

namespace {

[[noreturn]] void ThrowNotRegistered(const Common::WString& folder, const Common::WString& name) {
  throw Common::Error(ErrorCode::NotFound,
                      Common::FormatMessage(Messages::VirtualFileNotRegistered, folder, name));
}

// Refuses every change when the server has no plug-in at all.
class StubVirtualFilesProvider : public VirtualFilesProvider {
 public:
  std::shared_ptr<DirObject> GetMixinDirectory(const Common::WString&) override { return nullptr; }
  void AddVirtualFile(const Common::WString&, uint64_t, const Common::WString&,
                      const SourceParams&) override {
    Refuse();
  }
  void DeleteVirtualFile(const Common::WString&) override { Refuse(); }
  std::shared_ptr<FileObject> FindVirtualFile(const Common::WString&) override { return nullptr; }
  void ControlVirtualFile(const Common::WString&, std::vector<uint8_t>&) override { Refuse(); }
  void CountVirtualFiles(uint64_t& files, uint64_t& bytes) override { files = bytes = 0; }

 private:
  [[noreturn]] static void Refuse(Common::source_location where = Common::source_location::current()) {
    throw Common::Error(ErrorCode::InvalidArgument, Common::FormatMessage(Messages::NoPluginsFound),
                        Common::Error(), where);
  }
};

}  // namespace

std::shared_ptr<VirtualFilesProvider> CreateVirtualFilesProvider(std::shared_ptr<VirtualFilePlugin> plugin) {
  if (!plugin) return std::make_shared<StubVirtualFilesProvider>();
  return std::make_shared<VirtualFilesProviderImpl>(std::move(plugin));
}

void SplitVirtualPath(const Common::WString& path, Common::WString& folder, Common::WString& name) {
  const size_t slash = path.rfind(u'/');
  if (slash == Common::WString::npos) {
    folder = path;
    name = path;
    return;
  }
  folder = path.substr(0, slash);
  name = path.substr(slash + 1);
}

VirtualFilesProviderImpl::VirtualFilesProviderImpl(std::shared_ptr<VirtualFilePlugin> plugin)
    : plugin_(std::move(plugin)) {}

VirtualFolderContent& VirtualFilesProviderImpl::FolderFor(const Common::WString& folder) {
  auto& record = folders_[folder];
  if (!record) {
    record = std::make_shared<VirtualFolderContent>();
    record->folderPath = folder;
  }
  return *record;
}

std::shared_ptr<DirObject> VirtualFilesProviderImpl::GetMixinDirectory(const Common::WString& path) {
  std::shared_ptr<VirtualFileMap> files;
  {
    std::lock_guard guard(lock_->mutex);
    const auto it = folders_.find(path);
    if (it == folders_.end()) return nullptr;
    files = it->second->files;
  }
  return std::make_shared<VirtualizedDir>(path, std::move(files), lock_);
}

void VirtualFilesProviderImpl::AddVirtualFile(const Common::WString& path, uint64_t size,
                                              const Common::WString& uri, const SourceParams& params) {
  if (!plugin_->CanOpen(uri)) {
    throw Common::Error(ErrorCode::NoPlugin, Common::FormatMessage(Messages::NoPluginForUri, uri));
  }
  Common::WString folder;
  Common::WString name;
  SplitVirtualPath(path, folder, name);
  auto file = std::make_shared<VirtualizedFile>(path, std::make_shared<VirtualizedAttributes>(size),
                                                std::make_shared<FileContentAccessor>(plugin_, uri, params));
  {
    std::lock_guard guard(lock_->mutex);
    if (FolderFor(folder).files->emplace(name, file).second) return;
  }
  // The rejected duplicate is released outside the lock.
  throw Common::Error(ErrorCode::AlreadyExists,
                      Common::FormatMessage(Messages::VirtualFileAlreadyRegistered, folder, name));
}

void VirtualFilesProviderImpl::DeleteVirtualFile(const Common::WString& path) {
  Common::WString folder;
  Common::WString name;
  SplitVirtualPath(path, folder, name);
  std::shared_ptr<FileObject> removed;  // released after the lock
  {
    std::lock_guard guard(lock_->mutex);
    VirtualFileMap& files = *FolderFor(folder).files;
    const auto it = files.find(name);
    if (it != files.end()) {
      removed = std::move(it->second);
      files.erase(it);
    }
  }
  if (!removed) ThrowNotRegistered(folder, name);
}

std::shared_ptr<FileObject> VirtualFilesProviderImpl::FindVirtualFile(const Common::WString& path) {
  Common::WString folder;
  Common::WString name;
  SplitVirtualPath(path, folder, name);
  std::lock_guard guard(lock_->mutex);
  const auto record = folders_.find(folder);
  if (record == folders_.end()) return nullptr;
  const auto it = record->second->files->find(name);
  return it != record->second->files->end() ? it->second : nullptr;
}

void VirtualFilesProviderImpl::CountVirtualFiles(uint64_t& files, uint64_t& bytes) {
  files = bytes = 0;
  std::vector<std::shared_ptr<FileObject>> all;
  {
    std::lock_guard guard(lock_->mutex);
    for (const auto& [folder, content] : folders_) {
      for (const auto& [name, file] : *content->files) all.push_back(file);
    }
  }
  // Sizes are read outside the table's lock: attributes never take it.
  for (const auto& file : all) {
    ++files;
    if (const auto attributes = file->GetAttributes()) bytes += attributes->GetSize();
  }
}

void VirtualFilesProviderImpl::ControlVirtualFile(const Common::WString& path, std::vector<uint8_t>& request) {
  std::shared_ptr<FileObject> file = FindVirtualFile(path);
  if (!file) {
    Common::WString folder;
    Common::WString name;
    SplitVirtualPath(path, folder, name);
    ThrowNotRegistered(folder, name);
  }
  file->IOCTL(request);
}

}  // namespace NFS
