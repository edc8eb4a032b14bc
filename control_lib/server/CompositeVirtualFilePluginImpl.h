#pragma once

#include <memory>
#include <vector>

#include "host/Addons.h"
#include "server_lib/plugins/VirtualFilePlugin.h"

namespace NFS {

// Every virtual-file plug-in the host knows, as one: for each URI the first
// plug-in, in discovery order, that can open it.
class CompositeVirtualFilePluginImpl : public VirtualFilePlugin,
                                       private Core::AddonHandler<VirtualFilePlugin> {
 public:
  // Discovers the plug-ins; throws NoPlugin when discovery fails.
  CompositeVirtualFilePluginImpl();

  void SetContext(void* context) override;
  Common::WString GetName() override;
  bool CanOpen(const Common::WString& uri) override;
  Common::Error OpenFile(const Common::WString& uri, const SourceParams& params,
                         std::unique_ptr<LocalFs::LocalFileHandle>& content) override;

 private:
  // The plug-in walker: each add-on that offers the interface.
  void Handle(VirtualFilePlugin& plugin) override;
  VirtualFilePlugin* Find(const Common::WString& uri);

  std::shared_ptr<Core::AddonBrowser> browser_;
  // Owned by the host, which the browser keeps alive.
  std::vector<VirtualFilePlugin*> plugins_;
};

}  // namespace NFS
