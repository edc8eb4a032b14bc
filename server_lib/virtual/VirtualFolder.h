#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "host/Strings.h"
#include "server_lib/objects/FileSystemObject.h"

namespace NFS {

// Files of one virtual folder by name, in ordinal order. The map is shared by
// the folder record and every directory object made for the folder, and is
// guarded by the one mutex of the table it belongs to.
using VirtualFileMap = std::map<Common::WString, std::shared_ptr<FileObject>>;

struct VirtualTableLock {
  std::mutex mutex;
};

struct VirtualFolderContent {
  Common::WString folderPath;
  std::shared_ptr<VirtualFileMap> files = std::make_shared<VirtualFileMap>();
};

}  // namespace NFS
