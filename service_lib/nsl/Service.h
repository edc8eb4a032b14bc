#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/Error.h"
#include "host/Network.h"
#include "server_lib/server/Server.h"

namespace NFS::NSL {

class MountService;
class FileService;

// Who may use the service and how: checked for every call but NULL. A
// client outside the list gets NFS3ERR_ACCES (MNT3ERR_ACCES for MNT);
// read-only answers every changing procedure with NFS3ERR_ROFS.
struct AccessPolicy {
  Host::ClientNetworks allowClients;  // loopback unless told otherwise
  bool readOnly = false;
};

// Where the service listens, and who may use it.
struct NetworkOptions {
  // An IPv4 or IPv6 literal; empty for every interface of both families.
  std::string listenAddress;
  // 0: the fixed port 2029, or any port (published through the
  // portmapper) when that is taken. Otherwise this port or no start.
  uint16_t port = 0;
  AccessPolicy access;
  // Stable writes answered without a flush and unstable ones answered as
  // stable: faster, and a crash loses what clients were told is safe.
  bool asyncWrites = false;
};

// The network part: one RPC thread serving MOUNT and NFS over TCP for one
// server core. There is one per process.
class Service {
 public:
  virtual ~Service() = default;
  virtual Common::Error Start(std::shared_ptr<Server> server, const NetworkOptions& options) = 0;
  Common::Error Start(std::shared_ptr<Server> server) { return Start(std::move(server), NetworkOptions{}); }
  virtual Common::Error Stop() = 0;
  // Empty while stopped.
  virtual std::shared_ptr<MountService> GetMountService() = 0;
  virtual std::shared_ptr<FileService> GetFileService() = 0;
  // The policy calls are checked against; replaced at once for the calls
  // that follow (the running service's, or the next start's).
  virtual std::shared_ptr<const AccessPolicy> GetAccessPolicy() = 0;
  virtual void SetAccessPolicy(const AccessPolicy& policy) = 0;
};

Service& GetNetworkService();

// The port the running service listens on (2029 unless that was taken), 0 while stopped.
uint16_t GetListeningPort();

struct ClientConnection {
  std::string peer;              // "192.0.2.7:812", "[2001:db8::1]:812"
  int64_t connectedAt = 0;       // Unix time
};

struct NetworkStatus {
  bool serving = false;
  uint16_t port = 0;
  uint64_t servingForNs = 0;
  // What the portmapper on this machine answers for MOUNT and NFS version 3
  // over TCP now: their port, 0 when it knows none; portmapperError says
  // why it could not be asked.
  uint16_t portmapperMountPort = 0;
  uint16_t portmapperNfsPort = 0;
  std::string portmapperError;
  std::vector<ClientConnection> connections;
  // What the service listens on ("[::]:2029", "127.0.0.2:2049") and who may use it.
  std::string listen;
  std::string allowClients;
  bool readOnly = false;
  bool asyncWrites = false;
};

// Asks the portmapper too (on loopback, bounded to a few seconds): call it
// from a command's thread, never from the RPC thread.
NetworkStatus GetNetworkStatus();

}  // namespace NFS::NSL
