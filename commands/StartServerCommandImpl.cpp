#include "commands/Commands.h"
#include "control_lib/server/ServerControlImpl.h"
#include "host/Logging.h"
#include "localfs/LocalFs.h"
#include "server_lib/core/ServerErrors.h"

namespace NFS {

namespace {

constexpr uint32_t kCommandChannel = 610;
const Common::Message kMountingLocalPath{0x18230010, "Mounting local path '{0}' as NFS share '{1}'."};

void ThrowIfFailed(const Common::Error& result) {
  if (result.IsFailure()) throw result;
}

}  // namespace

Core::Record StartServerCommandImpl::RunLogic(const Core::Record& request, Core::HostContext& context) {
  try {
    const Common::WString localPath = request.GetOr<Common::WString>("LocalPath", {});
    const Common::WString shareName = request.GetOr<Common::WString>("ShareName", {});
    if (localPath.empty()) {
      throw Common::Error(ErrorCode::InvalidArgument, Common::FormatMessage(Messages::LocalPathInvalidArgument));
    }
    if (shareName.empty()) {
      throw Common::Error(ErrorCode::InvalidArgument, Common::FormatMessage(Messages::ShareNameInvalidArgument));
    }
    auto control = context.components->Get<ServerControlImpl>(ServerControlImpl::kComponentId,
                                                              ServerControlImpl::kInterfaceName);
    const Common::Error started = control->Start();
    if (started.IsFailure() && !Common::ContainsCode(started, ErrorCode::AlreadyStarted)) throw started;
    Common::Notice(kCommandChannel, kMountingLocalPath, localPath, shareName);
    ThrowIfFailed(LocalFs::EnsureLocalDirectory(Common::ToUtf8(localPath)));
    ThrowIfFailed(control->SetRoot(localPath, shareName));
    return Core::Record(CommandNames::StartServer.responseType);
  } catch (const Common::Error& error) {
    throw Common::Error(ErrorCode::StartServerFailed, Common::FormatMessage(Messages::StartServerFailed), error);
  }
}

}  // namespace NFS
