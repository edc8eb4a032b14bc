#include <gtest/gtest.h>

#include "control_lib/server/CompositeVirtualFilePluginImpl.h"
#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"
#include "tests/support/MemoryPlugin.h"

namespace {

// A host add-on offering a plug-in, or nothing of interest.
class PluginAddon : public Core::Addon {
 public:
  explicit PluginAddon(std::shared_ptr<NFS::VirtualFilePlugin> plugin) : plugin_(std::move(plugin)) {}
  std::string GetName() const override { return "TestPluginAddon"; }
  void* CastTo(std::string_view name) override {
    return plugin_ && name == NFS::VirtualFilePlugin::kInterfaceName ? plugin_.get() : nullptr;
  }

 private:
  std::shared_ptr<NFS::VirtualFilePlugin> plugin_;
};

class CompositePluginTest : public ::testing::Test {
 protected:
  void Register(std::shared_ptr<NFS::VirtualFilePlugin> plugin) {
    auto addon = std::make_shared<PluginAddon>(std::move(plugin));
    Core::AddonRegistry::Instance().Add(addon);
    addons_.push_back(addon);
  }
  void TearDown() override {
    for (const auto& addon : addons_) Core::AddonRegistry::Instance().Remove(addon.get());
  }
  std::vector<std::shared_ptr<Core::Addon>> addons_;
};

TEST_F(CompositePluginTest, WithoutPluginsEveryUriIsRefused) {
  Register(nullptr);  // an add-on that is not a plug-in
  Common::ScopedLogCapture log;
  NFS::CompositeVirtualFilePluginImpl composite;
  EXPECT_EQ(composite.GetName(), u"Composition:");
  EXPECT_FALSE(composite.CanOpen(u"mem:x"));
  std::unique_ptr<LocalFs::LocalFileHandle> content;
  const Common::Error error = composite.OpenFile(u"mem:x", {}, content);
  EXPECT_EQ(error.Code(), NFS::ErrorCode::NoPlugin);
  EXPECT_EQ(error.Message(), u"No registered plug-ins that can process URI 'mem:x'.");
  EXPECT_FALSE(content);
  EXPECT_TRUE(log.Texts(Common::kNotice, NFS::kLogChannel).empty());
}

TEST_F(CompositePluginTest, TheFirstPluginThatAcceptsServesTheUri) {
  auto first = std::make_shared<TestSupport::MemoryPlugin>("mem");
  auto second = std::make_shared<TestSupport::MemoryPlugin>("mem");
  auto other = std::make_shared<TestSupport::MemoryPlugin>("disk");
  Register(first);
  Register(nullptr);
  Register(second);
  Register(other);
  Common::ScopedLogCapture log;
  NFS::CompositeVirtualFilePluginImpl composite;
  EXPECT_EQ(composite.GetName(), u"Composition: mem-plugin mem-plugin disk-plugin");
  EXPECT_EQ(log.Texts(Common::kNotice, NFS::kLogChannel),
            (std::vector<std::string>{"Loading plug-in 'mem-plugin'.", "Loading plug-in 'mem-plugin'.",
                                      "Loading plug-in 'disk-plugin'."}));

  std::unique_ptr<LocalFs::LocalFileHandle> content;
  ASSERT_TRUE(composite.OpenFile(u"mem:a", {}, content).IsSuccess());
  EXPECT_TRUE(content);
  EXPECT_EQ(first->OpenCount(), 1);
  EXPECT_EQ(second->OpenCount(), 0);
  ASSERT_TRUE(composite.OpenFile(u"disk:a", {}, content).IsSuccess());
  EXPECT_EQ(other->OpenCount(), 1);
  // A plug-in's own failure comes back unchanged.
  EXPECT_EQ(composite.OpenFile(u"mem:broken", {}, content).Code(), 0x7770001u);

  int context = 0;
  composite.SetContext(&context);
  EXPECT_EQ(first->LastContext(), &context);
  EXPECT_EQ(other->LastContext(), &context);
}

// The host's add-on loader provider replaced for one test.
class ScopedLoaderProvider {
 public:
  explicit ScopedLoaderProvider(std::shared_ptr<Core::AddonLoaderProvider> provider)
      : previous_(Core::AddonLoaderProvider::Set(std::move(provider))) {}
  ~ScopedLoaderProvider() { Core::AddonLoaderProvider::Set(previous_); }

 private:
  std::shared_ptr<Core::AddonLoaderProvider> previous_;
};

class FailingLoaderProvider : public Core::AddonLoaderProvider {
 public:
  std::shared_ptr<Core::AddonBrowser> CreateBrowser() override {
    throw Common::Error(0x7770002, u"The loader is broken.");
  }
};

TEST_F(CompositePluginTest, HostsWithoutABrowserGiveNoPluginsAndLoaderErrorsStopCreation) {
  Register(std::make_shared<TestSupport::MemoryPlugin>("mem"));
  {
    ScopedLoaderProvider none(nullptr);
    Common::ScopedLogCapture log;
    NFS::CompositeVirtualFilePluginImpl composite;
    EXPECT_EQ(log.Texts(Common::kFailure, 0), (std::vector<std::string>{"Failed to create add-on browser."}));
    EXPECT_EQ(composite.GetName(), u"Composition:");
    EXPECT_FALSE(composite.CanOpen(u"mem:a"));
  }
  {
    ScopedLoaderProvider failing(std::make_shared<FailingLoaderProvider>());
    try {
      NFS::CompositeVirtualFilePluginImpl composite;
      FAIL() << "created over a failing loader";
    } catch (const Common::Error& error) {
      EXPECT_EQ(error.Code(), NFS::ErrorCode::NoPlugin);
      EXPECT_EQ(error.Message(), u"An error has occurred while loading plug-ins.");
      EXPECT_EQ(error.Reason().Code(), 0x7770002u);
    }
  }
  // The registry's provider is back.
  NFS::CompositeVirtualFilePluginImpl composite;
  EXPECT_TRUE(composite.CanOpen(u"mem:a"));
}

}  // namespace
