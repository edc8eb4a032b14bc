#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/Error.h"
#include "server_lib/server/Server.h"

namespace NFS::NSL {

class MountService;
class FileService;

// The network part: one RPC thread serving MOUNT and NFS over TCP for one
// server core. There is one per process.
class Service {
 public:
  virtual ~Service() = default;
  virtual Common::Error Start(std::shared_ptr<Server> server) = 0;
  virtual Common::Error Stop() = 0;
  // Empty while stopped.
  virtual std::shared_ptr<MountService> GetMountService() = 0;
  virtual std::shared_ptr<FileService> GetFileService() = 0;
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
};

// Asks the portmapper too (on loopback, bounded to a few seconds): call it
// from a command's thread, never from the RPC thread.
NetworkStatus GetNetworkStatus();

}  // namespace NFS::NSL
