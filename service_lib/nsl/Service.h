#pragma once

#include <memory>

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

}  // namespace NFS::NSL
