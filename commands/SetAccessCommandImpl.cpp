#include "commands/Commands.h"
#include "control_lib/server/ServerControlComponent.h"
#include "host/Logging.h"
#include "host/Network.h"
#include "server_lib/core/ServerErrors.h"

namespace NFS {

namespace {

constexpr uint32_t kCommandChannel = 610;
const Common::Message kAccessListInvalid{0x18230019, "The list of allowed clients '{0}' is invalid: {1}."};
const Common::Message kAccessChanged{0x1823001A, "Clients allowed now: {0}; the export is {1}."};

}  // namespace

// Builds the whole policy before it replaces the old one: a list that does
// not parse changes nothing.
Core::Record SetAccessCommandImpl::RunLogic(const Core::Record& request, Core::HostContext& context) {
  auto control = context.components->Get<ServerControl>(kServerControlComponentId, kServerControlInterfaceName);
  NSL::AccessPolicy policy = *NSL::GetNetworkService().GetAccessPolicy();
  if (request.Has(Property::kAllowClients)) {
    const std::string text = Common::ToUtf8(request.Get<Common::WString>(Property::kAllowClients));
    std::string why;
    if (!Host::ClientNetworks::Parse(text, policy.allowClients, why)) {
      throw Common::Error(ErrorCode::InvalidArgument, Common::FormatMessage(kAccessListInvalid, text, why));
    }
  }
  policy.readOnly = request.GetOr<bool>(Property::kReadOnly, policy.readOnly);
  const Common::Error set = control->SetAccessPolicy(policy);
  if (set.IsFailure()) throw set;
  Common::Notice(kCommandChannel, kAccessChanged, policy.allowClients.ToString(),
                 policy.readOnly ? "read-only" : "writable");
  return Core::Record(CommandNames::SetAccess.responseType);
}

}  // namespace NFS
