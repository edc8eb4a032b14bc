#pragma once

#include <string>

#include "commands/Names.h"
#include "host/Commands.h"

namespace NFS {

// The read-only commands for operators (their names in commands/Names.h).
class GetServerStatusCommandImpl : public Core::Command {
 public:
  Core::Record RunLogic(const Core::Record& request, Core::HostContext& context) override;
};

class GetServerStatisticsCommandImpl : public Core::Command {
 public:
  Core::Record RunLogic(const Core::Record& request, Core::HostContext& context) override;
};

class GetMetricsCommandImpl : public Core::Command {
 public:
  Core::Record RunLogic(const Core::Record& request, Core::HostContext& context) override;
};

}  // namespace NFS
