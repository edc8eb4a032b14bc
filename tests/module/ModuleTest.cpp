#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "host/Configuration.h"
#include "host/Resources.h"
#include "tests/module/ModuleFixture.h"
#include "tests/support/TempDir.h"

namespace {

std::vector<std::string> Names(const Core::AddonRegistry& registry) {
  std::vector<std::string> names;
  for (const auto& addon : registry.Snapshot()) names.push_back(addon->GetName());
  return names;
}

std::unique_ptr<Configuration::Option> DefaultOptions(const Core::AddonRegistry& registry) {
  for (const auto& addon : registry.Find<Configuration::OptionAddon>()) {
    auto provider = addon->CreateProvider(nullptr);
    if (provider->GetName() == u"NFS::Options") return provider->GetDefaultValue();
  }
  return nullptr;
}

TEST(ModuleTest, LoadAddonsRegistersItsAddonsInOrder) {
  Core::AddonRegistry registry;
  Core::LoadModule(TestSupport::NfsModulePath(), registry);
  EXPECT_EQ(Names(registry), (std::vector<std::string>{
                                 "NFSServiceComponentsAddon", "NFS::OptionAddon", "StartServerCommandFactoryAddOn",
                                 "CreateVirtualFileCommandFactoryAddOn", "DeleteVirtualFileCommandFactoryAddOn",
                                 "ControlVirtualFileCommandFactoryAddOn", "FileExistsCommandFactoryAddOn",
                                 "GetServerStatusCommandFactoryAddOn", "GetServerStatisticsCommandFactoryAddOn",
                                 "GetMetricsCommandFactoryAddOn", "SetAccessCommandFactoryAddOn", "NFS::FileEvents"}));

  // The factories describe their commands.
  const auto factories = registry.Find<Core::CommandFactoryAddon>();
  ASSERT_EQ(factories.size(), 9u);
  EXPECT_EQ(factories[0]->GetDescription().commandName, "NFS::StartServerCommand");
  EXPECT_EQ(factories[0]->GetDescription().typeId, "977ED77E-8E8F-4604-A357-27AB71BAD888");
  EXPECT_EQ(factories[0]->GetDescription().queue, "default_queue");
  EXPECT_EQ(factories[4]->GetDescription().requestType, "NFS::FileExistsRequest");

  // The component exists even with no plug-in add-on in the host.
  ComponentManagement::ComponentRegistry components;
  components.CollectFrom(registry);
  const auto component = components.Find(386);
  EXPECT_EQ(component->GetComponentId(), 386u);
  EXPECT_EQ(component->GetComponentName(), u"NFSServerControl");
  EXPECT_TRUE(component->IsSingleton());
  component->Shutdown();  // never started: nothing to stop, nothing fails
  try {
    components.Find(387);
    FAIL() << "found a component that does not exist";
  } catch (const Common::Error& error) {
    EXPECT_EQ(error.Message(), u"Cannot find a component with ID '387'.");
  }
  try {
    components.Get<Configuration::OptionAddon>(386, "Configuration::OptionAddon");
    FAIL() << "cast to a foreign interface";
  } catch (const Common::Error& error) {
    EXPECT_EQ(error.Message(), u"Invalid cast of component with ID '386' to interface 'Configuration::OptionAddon'.");
  }
}

TEST(ModuleTest, OptionDefaultsComeFromTheResourceFileBesideTheModule) {
  {
    Core::AddonRegistry registry;
    Core::LoadModule(TestSupport::NfsModulePath(), registry);
    auto options = DefaultOptions(registry);
    ASSERT_TRUE(options);
    EXPECT_EQ(options->GetTypeName(), "NFS::Options");
    EXPECT_EQ(options->Get<Common::WString>("LocalPath"), u"NFSStorage");
    EXPECT_EQ(options->Get<Common::WString>("ShareName"), u"/share");
  }

  // A copy of the module with edited resources, and no rebuild.
  TestSupport::TempDir temp;
  const auto copy = temp.Path() / "nfs_service.so";
  std::filesystem::copy_file(TestSupport::NfsModulePath(), copy);
  temp.WriteFile("nfs_service.resources", "# edited\nnfs_local_path = /srv/exported\nnfs_share_name = /data\n");
  Core::AddonRegistry registry;
  Core::LoadModule(copy.string(), registry);
  auto options = DefaultOptions(registry);
  ASSERT_TRUE(options);
  EXPECT_EQ(options->Get<Common::WString>("LocalPath"), u"/srv/exported");
  EXPECT_EQ(options->Get<Common::WString>("ShareName"), u"/data");

  // Without its resource file the defaults cannot be built.
  std::filesystem::remove(temp.Path() / "nfs_service.resources");
  EXPECT_THROW(DefaultOptions(registry), Common::Error);
}

TEST(ModuleTest, ModuleThatCannotBeLoadedIsReported) {
  Core::AddonRegistry registry;
  try {
    Core::LoadModule("/nonexistent/module.so", registry);
    FAIL() << "loaded a missing module";
  } catch (const Common::Error& error) {
    EXPECT_NE(Common::ToUtf8(error.Message()).find("/nonexistent/module.so"), std::string::npos);
  }
  TestSupport::TempDir empty;
  Core::LoadModules(empty.PathString(), registry);
  Core::LoadModules("/nonexistent/folder", registry);
  EXPECT_TRUE(registry.Snapshot().empty());
}

}  // namespace
