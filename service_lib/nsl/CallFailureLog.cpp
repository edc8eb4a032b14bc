#include "service_lib/nsl/CallFailureLog.h"

#include <utility>

#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"

namespace NFS::NSL {

namespace {

const Common::Message kFailuresSuppressed{0x18220110, "{0} similar failures suppressed ({1})."};

Common::LogRateLimiterSlot& Limits() {
  // Never destroyed: the RPC thread of a service held by a static object may
  // still log while the process ends.
  static auto* slot = new Common::LogRateLimiterSlot(kCallFailureLinesPerSecond);
  return *slot;
}

}  // namespace

std::string DescribeCall(RpcProgram program, uint32_t procedure, uint32_t status) {
  return DescribeCall(program, procedure) + " " + StatusName(program, status);
}

std::string DescribeCall(RpcProgram program, uint32_t procedure) { return ProcedureName(program, procedure); }

void LogCallFailure(const std::string& call, const Common::Error& error) {
  if (!Common::Logger::IsEnabled(Common::kFailure)) return;
  const std::shared_ptr<Common::LogRateLimiter> limiter = Limits().Get();
  uint64_t suppressed = 0;
  if (!limiter->Admit(call, suppressed)) return;
  if (suppressed > 0) {
    Common::Log(Common::kFailure, kLogChannel, Common::FormatMessage(kFailuresSuppressed, suppressed, call));
  }
  Common::Log(Common::kFailure, kLogChannel, error);
}

std::shared_ptr<Common::LogRateLimiter> SetCallFailureLimiter(std::shared_ptr<Common::LogRateLimiter> limiter) {
  return Limits().Replace(std::move(limiter));
}

}  // namespace NFS::NSL
