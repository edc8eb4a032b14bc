#include "server_lib/providers/SharesProviderImpl.h"

#include "host/Assertion.h"
#include "host/Logging.h"
#include "localfs/LocalFs.h"
#include "server_lib/core/ServerErrors.h"
#include "server_lib/local/LocalObjects.h"

namespace NFS {

std::unique_ptr<SharesProvider> CreateSharesProvider() { return std::make_unique<SharesProviderImpl>(); }

std::unique_ptr<SharesProvider> CreateStubSharesProvider() { return std::make_unique<StubSharesProvider>(); }

std::shared_ptr<DirObject> SharesProviderImpl::Mount(const Common::WString& shareId,
                                                     const Common::WString& localPath) {
  std::shared_ptr<DirObject> root;
  const auto found = shares_.find(shareId);
  if (found != shares_.end()) {
    root = found->second;
  } else {
    if (shares_.count(shareId) != 0) COMMON_ASSERT_TEXT("0 == Shares.count(shareId)");
    Common::Error error;
    std::shared_ptr<LocalFs::LocalDirectoryHandle> folder =
        LocalFs::CreateLocalDirectoryHandle(Common::ToUtf8(localPath), &error);
    if (!folder) throw error;
    Common::Trace(kLogChannel, "Opening new share '{0}' at '{1}'", shareId, folder->GetLocalPath());
    root = CreateLocalDirObject(shareId, std::move(folder));
  }
  shares_.emplace(shareId, root);
  Common::Trace(kLogChannel, "Open share '{0}' ({1} mounts)", shareId, shares_.count(shareId));
  return root;
}

void SharesProviderImpl::Unmount(const Common::WString& shareId) {
  const auto found = shares_.find(shareId);
  if (found == shares_.end()) {
    throw Common::Error(ErrorCode::ShareNotMounted, Common::FormatMessage(Messages::ShareNotMounted, shareId));
  }
  const std::shared_ptr<DirObject> root = found->second;
  bool erased = false;
  for (auto it = shares_.begin(); it != shares_.end(); ++it) {
    if (it->second == root) {
      shares_.erase(it);
      erased = true;
      break;
    }
  }
  if (!erased) COMMON_ASSERT(!"Failed to delete nonexisting share");
  Common::Trace(kLogChannel, "Closing share '{0}' ({1} mounts left)", shareId, shares_.count(shareId));
}

std::shared_ptr<DirObject> StubSharesProvider::Mount(const Common::WString&, const Common::WString&) {
  throw Common::Error(ErrorCode::InvalidArgument, Common::FormatMessage(Messages::NoDirectoriesExported));
}

void StubSharesProvider::Unmount(const Common::WString&) {
  throw Common::Error(ErrorCode::InvalidArgument, Common::FormatMessage(Messages::NoDirectoriesExported));
}

}  // namespace NFS
