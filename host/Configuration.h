#pragma once

#include <memory>

#include "host/Addons.h"
#include "host/Commands.h"
#include "host/Records.h"
#include "host/Strings.h"

namespace Configuration {

// A value of a named option set: a record of the option type.
using Option = Core::Record;

class OptionProvider {
 public:
  virtual ~OptionProvider() = default;
  virtual Common::WString GetName() const = 0;
  virtual std::unique_ptr<Option> GetDefaultValue() = 0;
};

class OptionAddon : public Core::Addon {
 public:
  void* CastTo(std::string_view) override { return nullptr; }
  virtual std::unique_ptr<OptionProvider> CreateProvider(Core::HostContext* context) = 0;
};

}  // namespace Configuration
