#include "host/Addons.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "host/HostErrors.h"
#include "host/Logging.h"

namespace Core {

namespace {

constexpr uint32_t kAddonsLogChannel = 0;

class RegistryBrowser : public AddonBrowser {
 public:
  explicit RegistryBrowser(std::vector<std::shared_ptr<Addon>> addons) : addons_(std::move(addons)) {}
  void Visit(AddonHandler<Addon>& handler) override {
    for (const auto& addon : addons_) handler.Handle(*addon);
  }

 private:
  // Held so that no add-on goes away while it is being visited.
  std::vector<std::shared_ptr<Addon>> addons_;
};

}  // namespace

AddonRegistry& AddonRegistry::Instance() {
  static AddonRegistry registry;
  return registry;
}

void AddonRegistry::Add(std::shared_ptr<Addon> addon) {
  std::lock_guard lock(mutex_);
  addons_.push_back(std::move(addon));
}

void AddonRegistry::Remove(const Addon* addon) {
  std::lock_guard lock(mutex_);
  std::erase_if(addons_, [addon](const auto& held) { return held.get() == addon; });
}

std::vector<std::shared_ptr<Addon>> AddonRegistry::Snapshot() const {
  std::lock_guard lock(mutex_);
  return addons_;
}

namespace {

class RegistryLoaderProvider : public AddonLoaderProvider {
 public:
  std::shared_ptr<AddonBrowser> CreateBrowser() override {
    return std::make_shared<RegistryBrowser>(AddonRegistry::Instance().Snapshot());
  }
};

std::mutex g_providerMutex;

std::shared_ptr<AddonLoaderProvider>& CurrentProvider() {
  static std::shared_ptr<AddonLoaderProvider> provider = std::make_shared<RegistryLoaderProvider>();
  return provider;
}

}  // namespace

std::shared_ptr<AddonLoaderProvider> AddonLoaderProvider::Get() {
  std::lock_guard lock(g_providerMutex);
  return CurrentProvider();
}

std::shared_ptr<AddonLoaderProvider> AddonLoaderProvider::Set(std::shared_ptr<AddonLoaderProvider> provider) {
  std::lock_guard lock(g_providerMutex);
  return std::exchange(CurrentProvider(), std::move(provider));
}

void AddonBrowser::Initialize(std::shared_ptr<AddonBrowser>& browser) {
  browser.reset();
  if (std::shared_ptr<AddonLoaderProvider> provider = AddonLoaderProvider::Get()) {
    browser = provider->CreateBrowser();
  }
  if (!browser) {
    Common::Log(Common::kFailure, kAddonsLogChannel, Common::FormatMessage(HostMessages::BrowserFailed));
  }
}

}  // namespace Core
