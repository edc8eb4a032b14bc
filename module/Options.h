#pragma once

#include <memory>
#include <string>

#include "commands/Names.h"
#include "host/Configuration.h"
#include "host/Strings.h"

namespace NFS {

// The option set "NFS::Options": the folder to export and its share name,
// with defaults from the module's resource file.
class OptionProvider : public Configuration::OptionProvider {
 public:
  static constexpr const char* kTypeName = kOptionsName;

  OptionProvider(Core::HostContext* context, std::string resourcePath)
      : context_(context), resourcePath_(std::move(resourcePath)) {}

  Common::WString GetName() const override { return Common::FromUtf8(kTypeName); }
  std::unique_ptr<Configuration::Option> GetDefaultValue() override;

 private:
  Core::HostContext* context_;
  std::string resourcePath_;
};

class OptionAddon : public Configuration::OptionAddon {
 public:
  explicit OptionAddon(std::string resourcePath) : resourcePath_(std::move(resourcePath)) {}
  std::string GetName() const override { return "NFS::OptionAddon"; }
  std::unique_ptr<Configuration::OptionProvider> CreateProvider(Core::HostContext* context) override {
    return std::make_unique<OptionProvider>(context, resourcePath_);
  }

 private:
  std::string resourcePath_;
};

}  // namespace NFS
