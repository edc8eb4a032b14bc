#pragma once

#include <string>
#include <vector>

#include "host/Addons.h"
#include "host/Error.h"

namespace Core {

// The one entry a module exports: it registers the module's add-ons.
using LoadAddonsEntry = void (*)(AddonRegistrar& registrar);
inline constexpr const char* kLoadAddonsSymbol = "LoadAddons";

// Loads a module's shared object and calls its LoadAddons. Modules stay
// loaded for the life of the process: their add-ons live in the registry.
void LoadModule(const std::string& path, AddonRegistrar& registrar);

// Every "*.so" of the folder, in name order; a folder that does not exist
// has no modules.
void LoadModules(const std::string& folder, AddonRegistrar& registrar);

}  // namespace Core
