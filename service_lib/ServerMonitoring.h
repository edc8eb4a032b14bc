#pragma once

#include "host/Error.h"
#include "server_lib/server/ServerStatus.h"
#include "service_lib/nsl/Service.h"
#include "service_lib/nsl/Statistics.h"

namespace NFS {

struct ServiceStatus {
  ServerStatus server;
  NSL::NetworkStatus network;
};

// What operators and metrics pages read of the running server, beside its
// control surface. Safe to call from any thread, at any time.
class ServerMonitoring {
 public:
  virtual ~ServerMonitoring() = default;
  // The export, the network part (the portmapper is asked now, for at most
  // a few seconds) and what the server holds.
  virtual Common::Error GetStatus(ServiceStatus& status) = 0;
  // The RPC front end's counters since the process first started the service.
  virtual Common::Error GetStatistics(NSL::StatisticsSnapshot& statistics) = 0;
};

}  // namespace NFS
