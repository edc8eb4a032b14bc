#pragma once

#include "host/Error.h"
#include "service_lib/nsl/Statistics.h"

namespace NFS {

// What operators and metrics pages read of the running server, beside its
// control surface. Safe to call from any thread, at any time.
class ServerMonitoring {
 public:
  virtual ~ServerMonitoring() = default;
  // The RPC front end's counters since the process first started the service.
  virtual Common::Error GetStatistics(NSL::StatisticsSnapshot& statistics) = 0;
};

}  // namespace NFS
