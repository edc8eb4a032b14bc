#pragma once

#include "server_lib/providers/SharesProvider.h"

namespace NFS {

class SharesProviderImpl : public SharesProvider {
 public:
  SharesProviderImpl(Common::WString share, std::shared_ptr<DirObject> root)
      : share_(std::move(share)), root_(std::move(root)) {}
  std::shared_ptr<DirObject> GetRoot(const Common::WString& share) override;

 private:
  Common::WString share_;
  std::shared_ptr<DirObject> root_;
};

class StubSharesProvider : public SharesProvider {
 public:
  std::shared_ptr<DirObject> GetRoot(const Common::WString& share) override;
};

}  // namespace NFS
