#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace Core {

// Something a module contributes to the host. Interfaces an add-on offers
// are found through its dynamic caster, by interface name.
class Addon {
 public:
  virtual ~Addon() = default;
  virtual std::string GetName() const = 0;
  // The add-on seen as the named interface, or null when it has none such.
  virtual void* CastTo(std::string_view interfaceName) = 0;
};

template <typename T>
class AddonHandler {
 public:
  virtual ~AddonHandler() = default;
  virtual void Handle(T& addon) = 0;
};

// Passes on only the add-ons that offer T (named by T::kInterfaceName).
template <typename T>
class AddonTypeFilter : public AddonHandler<Addon> {
 public:
  explicit AddonTypeFilter(AddonHandler<T>& inner) : inner_(inner) {}
  void Handle(Addon& addon) override {
    if (void* cast = addon.CastTo(T::kInterfaceName)) inner_.Handle(*static_cast<T*>(cast));
  }

 private:
  AddonHandler<T>& inner_;
};

// What a module's LoadAddons receives: registers one add-on, which the host
// then owns.
class AddonRegistrar {
 public:
  virtual ~AddonRegistrar() = default;
  virtual void RegisterAddon(std::shared_ptr<Addon> addon) = 0;
};

// The add-ons known to the host, in registration order.
class AddonRegistry : public AddonRegistrar {
 public:
  static AddonRegistry& Instance();

  void RegisterAddon(std::shared_ptr<Addon> addon) override { Add(std::move(addon)); }
  void Add(std::shared_ptr<Addon> addon);
  void Remove(const Addon* addon);
  std::vector<std::shared_ptr<Addon>> Snapshot() const;

  // Every add-on that offers T, in registration order.
  template <typename T>
  std::vector<std::shared_ptr<T>> Find() const {
    std::vector<std::shared_ptr<T>> found;
    for (const auto& addon : Snapshot()) {
      if (auto typed = std::dynamic_pointer_cast<T>(addon)) found.push_back(std::move(typed));
    }
    return found;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Addon>> addons_;
};

// Visits the add-ons known to the host when it was made, in a stable order.
class AddonBrowser {
 public:
  virtual ~AddonBrowser() = default;
  virtual void Visit(AddonHandler<Addon>& handler) = 0;

  // Makes a browser from the host's add-on loader provider. Leaves `browser`
  // empty, after logging "Failed to create add-on browser." at level 4, when
  // the host has no provider or the provider makes none. Errors the provider
  // throws pass through.
  static void Initialize(std::shared_ptr<AddonBrowser>& browser);
};

// Where the host's add-on browsers come from. The default provider browses
// the registry; an embedding host may install its own, or none.
class AddonLoaderProvider {
 public:
  virtual ~AddonLoaderProvider() = default;
  virtual std::shared_ptr<AddonBrowser> CreateBrowser() = 0;

  // The provider in use now (the registry's unless replaced).
  static std::shared_ptr<AddonLoaderProvider> Get();
  // Installs a provider; null leaves the host without one. Returns the
  // provider it replaces.
  static std::shared_ptr<AddonLoaderProvider> Set(std::shared_ptr<AddonLoaderProvider> provider);
};

}  // namespace Core
