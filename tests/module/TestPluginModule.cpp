// A plug-in module for tests, loaded by the host like any module: it offers
// a virtual-file plug-in for "mem:" URIs whose content lives in memory, and
// a command that runs for as long as a test wants.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "host/Addons.h"
#include "host/Commands.h"
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

// Test::HoldCommand opens the FIFO named by its Fifo property and reads it to
// the end: it runs from the moment the test opens the FIFO for writing until
// the test closes it.
class HoldCommand : public Core::Command {
 public:
  Core::Record RunLogic(const Core::Record& request, Core::HostContext&) override {
    const std::string path = Common::ToUtf8(request.Get<Common::WString>("Fifo"));
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw Common::Error(0x0F000002, Common::FromUtf8("Cannot open " + path + ": " + std::strerror(errno)));
    char buffer[64];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
    close(fd);
    return Core::Record("Test::HoldResponse");
  }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) void LoadAddons(Core::AddonRegistrar& registrar) {
  registrar.RegisterAddon(std::make_shared<MemoryPluginAddon>());
  registrar.RegisterAddon(std::make_shared<Core::CommandFactoryAddonOf<HoldCommand>>(Core::CommandDescription{
      "TestHoldCommandAddon", "Test::HoldCommand", "5d2c7a0e-3f1b-4c8e-9a61-0b7f4e2d9c13", "Test::HoldRequest",
      "Test::HoldResponse", {{"Fifo", Core::PropertyType::String}}}));
}
