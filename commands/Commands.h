#pragma once

#include "commands/Names.h"
#include "host/Commands.h"

namespace NFS {

class StartServerCommandImpl : public Core::Command {
 public:
  Core::Record RunLogic(const Core::Record& request, Core::HostContext& context) override;
};

class SetAccessCommandImpl : public Core::Command {
 public:
  Core::Record RunLogic(const Core::Record& request, Core::HostContext& context) override;
};

class CreateVirtualFileCommandImpl : public Core::Command {
 public:
  Core::Record RunLogic(const Core::Record& request, Core::HostContext& context) override;
};

class DeleteVirtualFileCommandImpl : public Core::Command {
 public:
  Core::Record RunLogic(const Core::Record& request, Core::HostContext& context) override;
};

class ControlVirtualFileCommandImpl : public Core::Command {
 public:
  Core::Record RunLogic(const Core::Record& request, Core::HostContext& context) override;
};

class FileExistsCommandImpl : public Core::Command {
 public:
  Core::Record RunLogic(const Core::Record& request, Core::HostContext& context) override;
};

// Splits a share-relative file path at its last "/" into folder and name.
void SplitFilePath(const Common::WString& path, Common::WString& folder, Common::WString& name);

}  // namespace NFS
