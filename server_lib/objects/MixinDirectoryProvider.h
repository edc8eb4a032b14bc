#pragma once

#include <memory>

#include "host/Strings.h"
#include "server_lib/objects/FileSystemObject.h"

namespace NFS {

// Supplies an overlay directory to show beside the directory at a path.
class MixinDirectoryProvider {
 public:
  virtual ~MixinDirectoryProvider() = default;
  // Empty when there is no overlay for the path.
  virtual std::shared_ptr<DirObject> GetMixinDirectory(const Common::WString& path) = 0;
};

}  // namespace NFS
