#pragma once

#include <memory>

#include "host/Strings.h"
#include "localfs/LocalFs.h"
#include "server_lib/objects/FileSystemObject.h"

namespace NFS {

// A share root: a directory object over an open local folder, whose path is
// the share name. Its ".." finds nothing, and its subdirectories know where
// the share begins.
std::shared_ptr<DirObject> CreateLocalDirObject(const Common::WString& path,
                                                std::shared_ptr<LocalFs::LocalDirectoryHandle> local);

// A regular file named `name` inside the local directory whose object path
// is `directoryPath`. Opens nothing: it shares the directory's handle, so a
// share's cache of files costs no descriptors until files are read or written.
// `seen`, when given, is the stat that found the entry: the object answers
// its first attributes of the same operation with it.
std::shared_ptr<FileObject> CreateLocalFileObject(std::shared_ptr<LocalFs::LocalDirectoryHandle> local,
                                                  const Common::WString& directoryPath,
                                                  const Common::WString& name,
                                                  std::unique_ptr<LocalFs::LocalEntryCursor> seen = nullptr);

}  // namespace NFS
