// A plug-in module for tests, loaded by the host like any module: it offers
// a virtual-file plug-in for "mem:" URIs whose content lives in memory.
#include <memory>

#include "host/Addons.h"
#include "tests/support/MemoryPlugin.h"

namespace {

class MemoryPluginAddon : public Core::Addon {
 public:
  MemoryPluginAddon() { plugin_->SetContent("hello", "hello from memory"); }
  std::string GetName() const override { return "TestMemoryPluginAddon"; }
  void* CastTo(std::string_view name) override {
    return name == NFS::VirtualFilePlugin::kInterfaceName ? static_cast<NFS::VirtualFilePlugin*>(plugin_.get())
                                                          : nullptr;
  }

 private:
  std::shared_ptr<TestSupport::MemoryPlugin> plugin_ = std::make_shared<TestSupport::MemoryPlugin>("mem");
};

}  // namespace

extern "C" __attribute__((visibility("default"))) void LoadAddons(Core::AddonRegistrar& registrar) {
  registrar.RegisterAddon(std::make_shared<MemoryPluginAddon>());
}
