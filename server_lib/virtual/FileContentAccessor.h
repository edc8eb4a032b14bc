#pragma once

#include <memory>
#include <mutex>

#include "host/Strings.h"
#include "localfs/LocalFs.h"
#include "server_lib/plugins/VirtualFilePlugin.h"

namespace NFS {

// The lazy link from a virtual file to its content: the plug-in opens it on
// first use, and it stays open for the accessor's lifetime.
class FileContentAccessor {
 public:
  FileContentAccessor(std::shared_ptr<VirtualFilePlugin> plugin, Common::WString uri, SourceParams params);

  // Runs `use` with the open content, opening it first when needed, with
  // the content to itself: command and RPC threads may reach one file at once.
  template <typename Use>
  void WithFile(Use&& use) {
    std::lock_guard lock(mutex_);
    use(GetFile());
  }

 private:
  LocalFs::LocalFileHandle& GetFile();
  void OpenFile();

  std::shared_ptr<VirtualFilePlugin> plugin_;
  Common::WString uri_;
  SourceParams params_;
  std::unique_ptr<LocalFs::LocalFileHandle> content_;
  std::mutex mutex_;
};

}  // namespace NFS
