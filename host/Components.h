#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/Addons.h"
#include "host/Error.h"
#include "host/Strings.h"

namespace ComponentManagement {

// A long-lived object of a module that the host creates at start-up and
// others find by id.
class Component {
 public:
  virtual ~Component() = default;
  virtual uint32_t GetComponentId() const = 0;
  virtual Common::WString GetComponentName() const = 0;
  virtual bool IsSingleton() const = 0;
  virtual bool IsAutoStart() const = 0;
  // The host's context value, handed over once the component exists.
  virtual void SetContext(void* context) = 0;
  // Called once before the host ends.
  virtual void Shutdown() = 0;
  virtual void OnStarted() = 0;
  virtual void OnStopping() = 0;
};

// An add-on that adds its module's components when the host collects them.
class ComponentsAddon : public Core::Addon {
 public:
  virtual void CollectComponents(std::vector<std::shared_ptr<Component>>& components) = 0;
  void* CastTo(std::string_view) override { return nullptr; }
};

class ComponentRegistry {
 public:
  void Add(std::shared_ptr<Component> component);
  // Throws "Cannot find a component with ID '{0}'."
  std::shared_ptr<Component> Find(uint32_t id) const;
  // Throws the cast error when the component is not a T.
  template <typename T>
  std::shared_ptr<T> Get(uint32_t id, const char* interfaceName) const {
    auto typed = std::dynamic_pointer_cast<T>(Find(id));
    if (!typed) ThrowInvalidCast(id, interfaceName);
    return typed;
  }
  std::vector<std::shared_ptr<Component>> All() const;
  // Runs every component's shutdown hook, last created first.
  void ShutdownAll();
  void Clear();

  // Asks every components add-on of the host for its components.
  void CollectFrom(const Core::AddonRegistry& addons);

 private:
  [[noreturn]] static void ThrowInvalidCast(uint32_t id, const char* interfaceName);

  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Component>> components_;
};

}  // namespace ComponentManagement
