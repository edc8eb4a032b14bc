#pragma once

#include <memory>

#include "host/Strings.h"
#include "localfs/LocalFs.h"
#include "server_lib/objects/FileSystemObject.h"

namespace NFS {

// A directory object over an open local folder.
std::shared_ptr<DirObject> CreateLocalDirObject(const Common::WString& path,
                                                std::shared_ptr<LocalFs::LocalDirectoryHandle> local);

// A regular file named `name` inside the local directory whose object path
// is `directoryPath`. Opens nothing but its own handle on the directory.
std::shared_ptr<FileObject> CreateLocalFileObject(LocalFs::LocalDirectoryHandle& local,
                                                  const Common::WString& directoryPath,
                                                  const Common::WString& name);

}  // namespace NFS
