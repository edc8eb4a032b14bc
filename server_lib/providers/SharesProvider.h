#pragma once

#include <memory>

#include "host/Strings.h"
#include "server_lib/objects/FileSystemObject.h"

namespace NFS {

// Turns a share name and its local folder into the share's root directory,
// counting mounts.
class SharesProvider {
 public:
  virtual ~SharesProvider() = default;
  virtual std::shared_ptr<DirObject> Mount(const Common::WString& share, const Common::WString& localPath) = 0;
  virtual void Unmount(const Common::WString& share) = 0;
};

std::unique_ptr<SharesProvider> CreateSharesProvider();
// Refuses both operations: nothing has been exported yet.
std::unique_ptr<SharesProvider> CreateStubSharesProvider();

}  // namespace NFS
