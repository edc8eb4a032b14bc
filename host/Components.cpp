#include "host/Components.h"

#include "host/HostErrors.h"

namespace ComponentManagement {

void ComponentRegistry::Add(std::shared_ptr<Component> component) {
  std::lock_guard lock(mutex_);
  components_.push_back(std::move(component));
}

std::shared_ptr<Component> ComponentRegistry::Find(uint32_t id) const {
  std::lock_guard lock(mutex_);
  for (const auto& component : components_) {
    if (component->GetComponentId() == id) return component;
  }
  throw Common::Error(Core::HostErrorCode::ComponentNotFound,
                      Common::FormatMessage(Core::HostMessages::ComponentNotFound, id));
}

void ComponentRegistry::ThrowInvalidCast(uint32_t id, const char* interfaceName) {
  throw Common::Error(Core::HostErrorCode::InvalidComponentCast,
                      Common::FormatMessage(Core::HostMessages::InvalidComponentCast, id, interfaceName));
}

std::vector<std::shared_ptr<Component>> ComponentRegistry::All() const {
  std::lock_guard lock(mutex_);
  return components_;
}

void ComponentRegistry::ShutdownAll() {
  const auto components = All();
  for (auto it = components.rbegin(); it != components.rend(); ++it) (*it)->Shutdown();
}

void ComponentRegistry::Clear() {
  std::vector<std::shared_ptr<Component>> released;
  {
    std::lock_guard lock(mutex_);
    released.swap(components_);
  }
}

void ComponentRegistry::CollectFrom(const Core::AddonRegistry& addons) {
  for (const auto& addon : addons.Find<ComponentsAddon>()) {
    std::vector<std::shared_ptr<Component>> collected;
    addon->CollectComponents(collected);
    for (auto& component : collected) Add(std::move(component));
  }
}

}  // namespace ComponentManagement
