#pragma once

#include <memory>

#include "service_lib/ServerControl.h"

namespace NFS {

// Forwards every operation to the server core, and Start and Stop to the
// process-wide network service.
class ServiceImpl : public Service {
 public:
  explicit ServiceImpl(std::shared_ptr<Server> server) : server_(std::move(server)) {}

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
  void SetContext(void* context) override;
  Common::Error GetStatus(ServiceStatus& status) override;
  Common::Error GetStatistics(NSL::StatisticsSnapshot& statistics) override;

 private:
  std::shared_ptr<Server> server_;
  NSL::NetworkOptions options_;
  std::shared_ptr<ObjectStore> store_;
};

}  // namespace NFS
