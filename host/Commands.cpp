#include "host/Commands.h"

#include "host/HostErrors.h"

namespace Core {

std::shared_ptr<CommandFactoryAddon> CommandRunner::FindFactory(const std::string& commandName) const {
  for (auto& factory : addons_.Find<CommandFactoryAddon>()) {
    if (factory->GetDescription().commandName == commandName) return factory;
  }
  return nullptr;
}

std::future<Record> CommandRunner::Run(const std::string& commandName, Record request) {
  std::shared_ptr<CommandFactoryAddon> factory = FindFactory(commandName);
  if (!factory) {
    std::promise<Record> refused;
    refused.set_exception(std::make_exception_ptr(Common::Error(
        HostErrorCode::CommandNotFound, Common::FormatMessage(HostMessages::CommandNotFound, commandName))));
    return refused.get_future();
  }
  return std::async(std::launch::async, [factory, request = std::move(request), context = context_]() mutable {
    std::unique_ptr<Command> command = factory->CreateCommand();
    return command->RunLogic(request, context);
  });
}

}  // namespace Core
