#pragma once

#include <map>

#include "server_lib/providers/SharesProvider.h"

namespace NFS {

class SharesProviderImpl : public SharesProvider {
 public:
  std::shared_ptr<DirObject> Mount(const Common::WString& share, const Common::WString& localPath) override;
  void Unmount(const Common::WString& share) override;

 private:
  // One entry per active mount; all entries of a name hold the same root.
  std::multimap<Common::WString, std::shared_ptr<DirObject>> shares_;
};

class StubSharesProvider : public SharesProvider {
 public:
  std::shared_ptr<DirObject> Mount(const Common::WString& share, const Common::WString& localPath) override;
  void Unmount(const Common::WString& share) override;
};

}  // namespace NFS
