#include "commands/Commands.h"
#include "commands/ServerSetup.h"
#include "control_lib/server/ServerControlComponent.h"
#include "host/Logging.h"

namespace NFS {

namespace {

constexpr uint32_t kCommandChannel = 610;
const Common::Message kAccessChanged{0x1823001A, "Clients allowed now: {0}; the export is {1}."};

}  // namespace

// Builds the whole policy before it replaces the old one: a list that does
// not parse changes nothing.
Core::Record SetAccessCommandImpl::RunLogic(const Core::Record& request, Core::HostContext& context) {
  auto control = context.components->Get<ServerControl>(kServerControlComponentId, kServerControlInterfaceName);
  const NSL::AccessPolicy before = *NSL::GetNetworkService().GetAccessPolicy();
  NSL::AccessPolicy policy = before;
  if (request.Has(Property::kAllowClients)) {
    policy.allowClients = AllowedClientsOf(request.Get<Common::WString>(Property::kAllowClients));
  }
  policy.readOnly = request.GetOr<bool>(Property::kReadOnly, policy.readOnly);
  const Common::Error set = control->SetAccessPolicy(policy);
  if (set.IsFailure()) throw set;
  // Every reload sets the policy; the log tells only of a change.
  if (policy.allowClients.ToString() != before.allowClients.ToString() || policy.readOnly != before.readOnly) {
    Common::Notice(kCommandChannel, kAccessChanged, policy.allowClients.ToString(),
                   policy.readOnly ? "read-only" : "writable");
  }
  return Core::Record(CommandNames::SetAccess.responseType);
}

}  // namespace NFS
