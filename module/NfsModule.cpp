// The module's one entry: it hands the host the module's add-ons.
#include <memory>
#include <string>

#include "commands/Commands.h"
#include "commands/FileEventsStream.h"
#include "commands/MonitoringCommands.h"
#include "control_lib/server/ServerControlImpl.h"
#include "host/Components.h"
#include "host/Logging.h"
#include "host/Modules.h"
#include "host/Resources.h"
#include "module/Options.h"
#include "server_lib/core/ServerErrors.h"

namespace NFS {

namespace {

class ComponentsAddon : public ComponentManagement::ComponentsAddon {
 public:
  std::string GetName() const override { return "NFSServiceComponentsAddon"; }
  void CollectComponents(std::vector<std::shared_ptr<ComponentManagement::Component>>& components) override {
    Common::Trace(kLogChannel, "Registration ServerControlComponent...");
    components.push_back(std::make_shared<ServerControlImpl>());
  }
};

std::string ResourcePath() {
  static const int anchor = 0;
  return Core::FolderOfCode(&anchor) + "/nfs_service.resources";
}

}  // namespace

}  // namespace NFS

extern "C" __attribute__((visibility("default"))) void LoadAddons(Core::AddonRegistrar& registrar) {
  using namespace NFS;
  registrar.RegisterAddon(std::make_shared<ComponentsAddon>());
  registrar.RegisterAddon(std::make_shared<OptionAddon>(ResourcePath()));
  registrar.RegisterAddon(std::make_shared<Core::CommandFactoryAddonOf<StartServerCommandImpl>>(CommandNames::StartServer));
  registrar.RegisterAddon(
      std::make_shared<Core::CommandFactoryAddonOf<CreateVirtualFileCommandImpl>>(CommandNames::CreateVirtualFile));
  registrar.RegisterAddon(
      std::make_shared<Core::CommandFactoryAddonOf<DeleteVirtualFileCommandImpl>>(CommandNames::DeleteVirtualFile));
  registrar.RegisterAddon(
      std::make_shared<Core::CommandFactoryAddonOf<ControlVirtualFileCommandImpl>>(CommandNames::ControlVirtualFile));
  registrar.RegisterAddon(
      std::make_shared<Core::CommandFactoryAddonOf<FileExistsCommandImpl>>(CommandNames::FileExists));
  registrar.RegisterAddon(
      std::make_shared<Core::CommandFactoryAddonOf<GetServerStatusCommandImpl>>(CommandNames::GetServerStatus));
  registrar.RegisterAddon(std::make_shared<Core::CommandFactoryAddonOf<GetServerStatisticsCommandImpl>>(
      CommandNames::GetServerStatistics));
  registrar.RegisterAddon(
      std::make_shared<Core::CommandFactoryAddonOf<GetMetricsCommandImpl>>(CommandNames::GetMetrics));
  // The operator's: changes who may call while clients are connected.
  registrar.RegisterAddon(std::make_shared<Core::CommandFactoryAddonOf<SetAccessCommandImpl>>(CommandNames::SetAccess));
  registrar.RegisterAddon(std::make_shared<FileEventsStreamImpl>());
}
