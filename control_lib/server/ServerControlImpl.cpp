#include "control_lib/server/ServerControlImpl.h"

#include "control_lib/server/CompositeVirtualFilePluginImpl.h"
#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"

namespace NFS {

ServerControlImpl::ServerControlImpl()
    : service_(CreateService(CreateServer(std::make_shared<CompositeVirtualFilePluginImpl>()))) {}

void ServerControlImpl::SetContext(void* context) { service_->SetContext(context); }

void ServerControlImpl::Shutdown() {
  const Common::Error stopped = service_->Stop();
  if (stopped.IsFailure() && !Common::ContainsCode(stopped, ErrorCode::AlreadyStopped)) {
    Common::Log(Common::kFailure, kLogChannel, stopped);
  }
  // The store's thread ends here, its queue on the disk: whatever still
  // holds the server when the process exits, no sweep runs into the exit.
  const Common::Error detached = service_->SetObjectStore(nullptr, 0);
  if (detached.IsFailure()) Common::Log(Common::kFailure, kLogChannel, detached);
}

Common::Error ServerControlImpl::Register(std::shared_ptr<EventObserver> observer, uint32_t& id) {
  return service_->Register(std::move(observer), id);
}
Common::Error ServerControlImpl::Unregister(uint32_t id) { return service_->Unregister(id); }
Common::Error ServerControlImpl::Start() { return service_->Start(); }
Common::Error ServerControlImpl::Stop() { return service_->Stop(); }
Common::Error ServerControlImpl::SetNetworkOptions(const NSL::NetworkOptions& options) {
  return service_->SetNetworkOptions(options);
}
Common::Error ServerControlImpl::SetAccessPolicy(const NSL::AccessPolicy& policy) {
  return service_->SetAccessPolicy(policy);
}
Common::Error ServerControlImpl::SetObjectStore(std::shared_ptr<ObjectStore> store, size_t cacheCapacity) {
  return service_->SetObjectStore(std::move(store), cacheCapacity);
}
Common::Error ServerControlImpl::SetRoot(const Common::WString& localPath, const Common::WString& shareName) {
  return service_->SetRoot(localPath, shareName);
}
Common::Error ServerControlImpl::GetRoot(Common::WString& localPath, Common::WString& shareName) {
  return service_->GetRoot(localPath, shareName);
}
Common::Error ServerControlImpl::AddVirtualFile(const Common::WString& path, uint64_t size,
                                                const Common::WString& uri, const SourceParams& params) {
  return service_->AddVirtualFile(path, size, uri, params);
}
Common::Error ServerControlImpl::DeleteVirtualFile(const Common::WString& path) {
  return service_->DeleteVirtualFile(path);
}
Common::Error ServerControlImpl::ControlVirtualFile(const Common::WString& path, std::vector<uint8_t>& request) {
  return service_->ControlVirtualFile(path, request);
}
Common::Error ServerControlImpl::CreateFile(const ShareFilePath& path) { return service_->CreateFile(path); }
Common::Error ServerControlImpl::DeleteFile(const ShareFilePath& path) { return service_->DeleteFile(path); }
Common::Error ServerControlImpl::FileExists(const ShareFilePath& path, bool& exists) {
  return service_->FileExists(path, exists);
}

Common::Error ServerControlImpl::GetStatus(ServiceStatus& status) { return service_->GetStatus(status); }

Common::Error ServerControlImpl::GetStatistics(NSL::StatisticsSnapshot& statistics) {
  return service_->GetStatistics(statistics);
}

}  // namespace NFS
