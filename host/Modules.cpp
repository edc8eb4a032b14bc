#include "host/Modules.h"

#include <dlfcn.h>

#include <algorithm>
#include <filesystem>

#include "host/HostErrors.h"

namespace Core {

namespace {

[[noreturn]] void ThrowLoadFailed(const std::string& path, const std::string& why) {
  throw Common::Error(HostErrorCode::ModuleLoadFailed, Common::FormatMessage(HostMessages::ModuleLoadFailed, path, why));
}

}  // namespace

void LoadModule(const std::string& path, AddonRegistrar& registrar) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) ThrowLoadFailed(path, dlerror());
  auto entry = reinterpret_cast<LoadAddonsEntry>(dlsym(handle, kLoadAddonsSymbol));
  if (entry == nullptr) ThrowLoadFailed(path, "no LoadAddons entry");
  entry(registrar);
}

void LoadModules(const std::string& folder, AddonRegistrar& registrar) {
  std::error_code missing;
  std::vector<std::string> paths;
  for (const auto& entry : std::filesystem::directory_iterator(folder, missing)) {
    if (entry.path().extension() == ".so") paths.push_back(entry.path().string());
  }
  std::sort(paths.begin(), paths.end());
  for (const auto& path : paths) LoadModule(path, registrar);
}

}  // namespace Core
