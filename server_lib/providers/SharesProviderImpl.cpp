#include "server_lib/providers/SharesProviderImpl.h"

#include "host/Logging.h"
#include "localfs/LocalFs.h"
#include "server_lib/core/ServerErrors.h"
#include "server_lib/local/LocalObjects.h"

namespace NFS {

std::unique_ptr<SharesProvider> CreateSharesProvider(const Common::WString& share,
                                                     const Common::WString& localPath) {
  // The folder opened by its path is pinned: the descriptor pool never closes
  // it, so it is never looked up by that path again.
  Common::Error error;
  std::shared_ptr<LocalFs::LocalDirectoryHandle> folder =
      LocalFs::CreateLocalDirectoryHandle(Common::ToUtf8(localPath), &error);
  if (!folder) throw error;
  Common::Trace(kLogChannel, "Opening share '{0}' at '{1}'", share, folder->GetLocalPath());
  return std::make_unique<SharesProviderImpl>(share, CreateLocalDirObject(share, std::move(folder)));
}

std::unique_ptr<SharesProvider> CreateStubSharesProvider() { return std::make_unique<StubSharesProvider>(); }

std::shared_ptr<DirObject> SharesProviderImpl::GetRoot(const Common::WString& share) {
  if (share != share_) {
    throw Common::Error(ErrorCode::ShareNotMounted, Common::FormatMessage(Messages::ShareNotMounted, share));
  }
  return root_;
}

std::shared_ptr<DirObject> StubSharesProvider::GetRoot(const Common::WString&) {
  throw Common::Error(ErrorCode::InvalidArgument, Common::FormatMessage(Messages::NoDirectoriesExported));
}

}  // namespace NFS
