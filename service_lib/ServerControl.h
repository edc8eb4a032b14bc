#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "host/Error.h"
#include "server_lib/events/Events.h"
#include "server_lib/server/Server.h"
#include "server_lib/store/ObjectStore.h"
#include "service_lib/ServerMonitoring.h"
#include "service_lib/nsl/Service.h"

namespace NFS {

// The control surface of the running server: its export, its virtual files
// and the network part. Every operation returns a Common::Error value.
class ServerControl : public EventNotifier {
 public:
  virtual Common::Error Start() = 0;
  virtual Common::Error Stop() = 0;
  // Where the next Start listens and who may call.
  virtual Common::Error SetNetworkOptions(const NSL::NetworkOptions& options) = 0;
  // Who may call and whether they may change anything: at once for the
  // calls that follow, and for the next Start.
  virtual Common::Error SetAccessPolicy(const NSL::AccessPolicy& policy) = 0;
  // Where the ids handed out are remembered, and how many objects the
  // caches hold (0: no limit). Stop writes out what the store has queued.
  virtual Common::Error SetObjectStore(std::shared_ptr<ObjectStore> store, size_t cacheCapacity) = 0;
  virtual Common::Error SetRoot(const Common::WString& localPath, const Common::WString& shareName) = 0;
  virtual Common::Error GetRoot(Common::WString& localPath, Common::WString& shareName) = 0;
  virtual Common::Error AddVirtualFile(const Common::WString& path, uint64_t size, const Common::WString& uri,
                                       const SourceParams& params) = 0;
  virtual Common::Error DeleteVirtualFile(const Common::WString& path) = 0;
  virtual Common::Error ControlVirtualFile(const Common::WString& path, std::vector<uint8_t>& request) = 0;
  virtual Common::Error CreateFile(const ShareFilePath& path) = 0;
  virtual Common::Error DeleteFile(const ShareFilePath& path) = 0;
  virtual Common::Error FileExists(const ShareFilePath& path, bool& exists) = 0;
};

// A server core together with the process-wide network service that serves it.
class Service : public ServerControl, public ServerMonitoring {
 public:
  virtual void SetContext(void* context) = 0;
};

std::unique_ptr<Service> CreateService(std::shared_ptr<Server> server);

}  // namespace NFS
