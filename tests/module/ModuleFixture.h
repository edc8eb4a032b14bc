#pragma once

#include <gtest/gtest.h>

#include <string>

#include "host/Addons.h"
#include "host/Commands.h"
#include "host/Components.h"
#include "host/Modules.h"

namespace TestSupport {

inline std::string NfsModulePath() { return NFS_MODULE_PATH; }
inline std::string TestPluginModulePath() { return TEST_PLUGIN_MODULE_PATH; }

// The host's side of a test: the NFS module (and optionally the test plug-in
// module) loaded into the host's registry, the components collected, and a
// command runner over them.
class HostedModuleTest : public ::testing::Test {
 protected:
  void LoadHost(bool withPlugin) {
    auto& addons = Core::AddonRegistry::Instance();
    if (withPlugin) Core::LoadModule(TestPluginModulePath(), addons);
    Core::LoadModule(NfsModulePath(), addons);
    components_.CollectFrom(addons);
  }

  void TearDown() override {
    components_.ShutdownAll();
    components_.Clear();
    for (const auto& addon : Core::AddonRegistry::Instance().Snapshot()) {
      Core::AddonRegistry::Instance().Remove(addon.get());
    }
  }

  Core::Record Run(const std::string& command, Core::Record request) {
    return runner_.Run(command, std::move(request)).get();
  }

  // The error a command fails with (success when it does not fail).
  Common::Error Failure(const std::string& command, Core::Record request) {
    try {
      Run(command, std::move(request));
    } catch (const Common::Error& error) {
      return error;
    }
    return Common::Error();
  }

  ComponentManagement::ComponentRegistry components_;
  Core::HostContext context_{&components_};
  Core::CommandRunner runner_{Core::AddonRegistry::Instance(), context_};
};

}  // namespace TestSupport
