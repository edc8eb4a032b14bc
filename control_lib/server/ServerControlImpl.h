#pragma once

#include <memory>

#include "host/Components.h"
#include "control_lib/server/ServerControlComponent.h"

namespace NFS {

// The "NFSServerControl" component: owns the server core, its plug-ins and
// the service that drives the network part, and forwards every control
// and monitoring operation to them.
class ServerControlImpl : public ServerControl,
                          public ServerMonitoring,
                          public ComponentManagement::Component {
 public:
  static constexpr uint32_t kComponentId = kServerControlComponentId;
  static constexpr const char* kInterfaceName = kServerControlInterfaceName;

  // Discovers the plug-ins; throws when that fails.
  ServerControlImpl();

  // ComponentManagement::Component
  uint32_t GetComponentId() const override { return kComponentId; }
  Common::WString GetComponentName() const override { return u"NFSServerControl"; }
  bool IsSingleton() const override { return true; }
  bool IsAutoStart() const override { return true; }
  void SetContext(void* context) override;
  void Shutdown() override;
  void OnStarted() override {}
  void OnStopping() override {}

  // NFS::ServerControl
  Common::Error Register(std::shared_ptr<EventObserver> observer, uint32_t& id) override;
  Common::Error Unregister(uint32_t id) override;
  Common::Error Start() override;
  Common::Error Stop() override;
  Common::Error SetNetworkOptions(const NSL::NetworkOptions& options) override;
  Common::Error SetAccessPolicy(const NSL::AccessPolicy& policy) override;
  Common::Error SetObjectStore(std::shared_ptr<ObjectStore> store, size_t cacheCapacity) override;
  Common::Error SetRoot(const Common::WString& localPath, const Common::WString& shareName) override;
  Common::Error GetRoot(Common::WString& localPath, Common::WString& shareName) override;
  Common::Error AddVirtualFile(const Common::WString& path, uint64_t size, const Common::WString& uri,
                               const SourceParams& params) override;
  Common::Error DeleteVirtualFile(const Common::WString& path) override;
  Common::Error ControlVirtualFile(const Common::WString& path, std::vector<uint8_t>& request) override;
  Common::Error CreateFile(const ShareFilePath& path) override;
  Common::Error DeleteFile(const ShareFilePath& path) override;
  Common::Error FileExists(const ShareFilePath& path, bool& exists) override;

  // NFS::ServerMonitoring
  Common::Error GetStatus(ServiceStatus& status) override;
  Common::Error GetStatistics(NSL::StatisticsSnapshot& statistics) override;

 private:
  std::unique_ptr<Service> service_;
};

}  // namespace NFS
