#include "host/Addons.h"

#include <algorithm>

namespace Core {

namespace {

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

void AddonBrowser::Initialize(std::shared_ptr<AddonBrowser>& browser) {
  browser = std::make_shared<RegistryBrowser>(AddonRegistry::Instance().Snapshot());
}

}  // namespace Core
