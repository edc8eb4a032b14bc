#pragma once

#include <memory>

#include "host/Strings.h"
#include "server_lib/objects/FileSystemObject.h"

namespace NFS {

// The exported share: its root directory over the local folder, opened once
// when the share is set. Nothing opens that folder by its path again, and
// mounts and unmounts never close it, so a path that is later swapped for a
// link (or for anything else) changes nothing clients can reach.
class SharesProvider {
 public:
  virtual ~SharesProvider() = default;
  // The root of `share`; throws ShareNotMounted for any other name.
  virtual std::shared_ptr<DirObject> GetRoot(const Common::WString& share) = 0;
};

// Opens `localPath` now; throws the local library's error when it cannot.
std::unique_ptr<SharesProvider> CreateSharesProvider(const Common::WString& share, const Common::WString& localPath);
// Refuses every name: nothing has been exported yet.
std::unique_ptr<SharesProvider> CreateStubSharesProvider();

}  // namespace NFS
