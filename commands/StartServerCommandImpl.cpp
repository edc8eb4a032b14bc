#include <algorithm>

#include "commands/Commands.h"
#include "commands/ServerSetup.h"
#include "control_lib/server/ServerControlComponent.h"
#include "host/Logging.h"
#include "localfs/LocalFs.h"
#include "server_lib/core/ServerErrors.h"

namespace NFS {

namespace {

constexpr uint32_t kCommandChannel = 610;
const Common::Message kMountingLocalPath{0x18230010, "Mounting local path '{0}' as NFS share '{1}'."};

const Common::Message kShareNameRule{0x18230011, "The specified share name '{0}' is invalid: {1}"};

void ThrowIfFailed(const Common::Error& result) {
  if (result.IsFailure()) throw result;
}

// A share name becomes the first part of every object path, which is split
// at "/" (the root has no parent only while that split is unambiguous).
// Names that could be read two ways are refused, with the rule they break.
void CheckShareNameShape(const Common::WString& shareName) {
  const char* broken = nullptr;
  if (Common::ToUtf8(shareName).size() > 255) {
    broken = "it is longer than 255 bytes.";
  } else if (shareName.find(u'\\') != Common::WString::npos) {
    broken = "it contains a backslash.";
  } else {
    const size_t first = shareName.front() == u'/' ? 1 : 0;
    for (size_t begin = first;;) {
      const size_t end = std::min(shareName.find(u'/', begin), shareName.size());
      const Common::WStringView part(shareName.data() + begin, end - begin);
      if (part.empty()) {
        broken = "it has an empty component (\"//\" or a trailing \"/\").";
      } else if (part == u"." || part == u"..") {
        broken = "it has a \".\" or \"..\" component.";
      }
      if (broken != nullptr || end == shareName.size()) break;
      begin = end + 1;
    }
  }
  if (broken != nullptr) {
    throw Common::Error(ErrorCode::InvalidArgument, Common::FormatMessage(kShareNameRule, shareName, broken));
  }
}

}  // namespace

Core::Record StartServerCommandImpl::RunLogic(const Core::Record& request, Core::HostContext& context) {
  try {
    const Common::WString localPath = request.GetOr<Common::WString>(Property::kLocalPath, {});
    const Common::WString shareName = request.GetOr<Common::WString>(Property::kShareName, {});
    if (localPath.empty()) {
      throw Common::Error(ErrorCode::InvalidArgument, Common::FormatMessage(Messages::LocalPathInvalidArgument));
    }
    if (shareName.empty()) {
      throw Common::Error(ErrorCode::InvalidArgument, Common::FormatMessage(Messages::ShareNameInvalidArgument));
    }
    CheckShareNameShape(shareName);
    const NSL::NetworkOptions options = NetworkOptionsOf(request);
    auto control = context.components->Get<ServerControl>(kServerControlComponentId, kServerControlInterfaceName);
    ThrowIfFailed(control->SetNetworkOptions(options));
    SetUpObjectStore(request, *control);
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
