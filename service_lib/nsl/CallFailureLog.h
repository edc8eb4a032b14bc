#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/Error.h"
#include "host/LogRateLimiter.h"
#include "service_lib/nsl/Statistics.h"

namespace NFS::NSL {

// A client that fails the same call in a loop must not flood the log: the
// error records of failed calls reach it at level 4, at most
// kCallFailureLinesPerSecond a second for each procedure and status, then a
// line that says how many were held back when the next one is written.
inline constexpr uint32_t kCallFailureLinesPerSecond = 10;

// What a failure is counted under: "REMOVE NFS3ERR_NOENT", or "UMNT" for a
// procedure whose reply has no status.
std::string DescribeCall(RpcProgram program, uint32_t procedure, uint32_t status);
std::string DescribeCall(RpcProgram program, uint32_t procedure);

void LogCallFailure(const std::string& call, const Common::Error& error);

// Replaces the limit (tests give one with a clock of their own); returns the
// previous one. Null restores the default.
std::shared_ptr<Common::LogRateLimiter> SetCallFailureLimiter(std::shared_ptr<Common::LogRateLimiter> limiter);

}  // namespace NFS::NSL
