#pragma once

#include <future>
#include <memory>
#include <string>
#include <vector>

#include "host/Addons.h"
#include "host/Components.h"
#include "host/Records.h"

namespace Core {

// What a host command sees of the host while it runs.
struct HostContext {
  ComponentManagement::ComponentRegistry* components = nullptr;
};

class Command {
 public:
  virtual ~Command() = default;
  // The command's body, on a host worker thread: the response, or a thrown Common::Error.
  virtual Record RunLogic(const Record& request, HostContext& context) = 0;
};

enum class PropertyType { String, UInt64, Bool, Bytes };

struct PropertySpec {
  std::string name;
  PropertyType type;
};

struct CommandDescription {
  std::string addonName;
  std::string commandName;
  std::string typeId;  // a GUID in its text form
  std::string requestType;
  std::string responseType;
  // The request's properties, so that clients can send text and still get typed records.
  std::vector<PropertySpec> requestProperties;
  std::string queue = "default_queue";
};

// The add-on through which the host makes instances of one command.
class CommandFactoryAddon : public Addon {
 public:
  explicit CommandFactoryAddon(CommandDescription description) : description_(std::move(description)) {}
  std::string GetName() const override { return description_.addonName; }
  void* CastTo(std::string_view) override { return nullptr; }
  const CommandDescription& GetDescription() const { return description_; }
  virtual std::unique_ptr<Command> CreateCommand() = 0;

 private:
  CommandDescription description_;
};

template <typename CommandImpl>
class CommandFactoryAddonOf : public CommandFactoryAddon {
 public:
  using CommandFactoryAddon::CommandFactoryAddon;
  std::unique_ptr<Command> CreateCommand() override { return std::make_unique<CommandImpl>(); }
};

// Runs commands by name on worker threads; several may run at once.
class CommandRunner {
 public:
  CommandRunner(const AddonRegistry& addons, HostContext context) : addons_(addons), context_(context) {}

  // The future holds the response, or rethrows the command's Common::Error.
  std::future<Record> Run(const std::string& commandName, Record request);
  // The description of a command, or null.
  std::shared_ptr<CommandFactoryAddon> FindFactory(const std::string& commandName) const;

 private:
  const AddonRegistry& addons_;
  HostContext context_;
};

}  // namespace Core
