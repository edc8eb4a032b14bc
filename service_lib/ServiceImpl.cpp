#include "service_lib/ServiceImpl.h"

#include "server_lib/server/ObjectStoreSetup.h"
#include "service_lib/nsl/Service.h"

namespace NFS {

std::unique_ptr<Service> CreateService(std::shared_ptr<Server> server) {
  return std::make_unique<ServiceImpl>(std::move(server));
}

Common::Error ServiceImpl::Register(std::shared_ptr<EventObserver> observer, uint32_t& id) {
  return server_->Register(std::move(observer), id);
}
Common::Error ServiceImpl::Unregister(uint32_t id) { return server_->Unregister(id); }
Common::Error ServiceImpl::Start() { return NSL::GetNetworkService().Start(server_, options_); }
Common::Error ServiceImpl::SetNetworkOptions(const NSL::NetworkOptions& options) {
  options_ = options;
  return Common::Error::Success();
}
Common::Error ServiceImpl::SetAccessPolicy(const NSL::AccessPolicy& policy) {
  options_.access = policy;
  NSL::GetNetworkService().SetAccessPolicy(policy);
  return Common::Error::Success();
}
Common::Error ServiceImpl::SetObjectStore(std::shared_ptr<ObjectStore> store, size_t cacheCapacity) {
  store_ = store;
  return NFS::SetObjectStore(*server_, std::move(store), cacheCapacity);
}
Common::Error ServiceImpl::Stop() {
  const Common::Error stopped = NSL::GetNetworkService().Stop();
  // No client changes anything now: every id handed out goes to the disk.
  if (store_) store_->Flush();
  return stopped;
}
Common::Error ServiceImpl::SetRoot(const Common::WString& localPath, const Common::WString& shareName) {
  return server_->SetRoot(localPath, shareName);
}
Common::Error ServiceImpl::GetRoot(Common::WString& localPath, Common::WString& shareName) {
  return server_->GetRoot(localPath, shareName);
}
Common::Error ServiceImpl::AddVirtualFile(const Common::WString& path, uint64_t size, const Common::WString& uri,
                                          const SourceParams& params) {
  return server_->AddVirtualFile(path, size, uri, params);
}
Common::Error ServiceImpl::DeleteVirtualFile(const Common::WString& path) {
  return server_->DeleteVirtualFile(path);
}
Common::Error ServiceImpl::ControlVirtualFile(const Common::WString& path, std::vector<uint8_t>& request) {
  return server_->ControlVirtualFile(path, request);
}
Common::Error ServiceImpl::CreateFile(const ShareFilePath& path) { return server_->CreateFile(path); }
Common::Error ServiceImpl::DeleteFile(const ShareFilePath& path) { return server_->DeleteFile(path); }
Common::Error ServiceImpl::FileExists(const ShareFilePath& path, bool& exists) {
  return server_->FileExists(path, exists);
}
void ServiceImpl::SetContext(void* context) { server_->SetContext(context); }

Common::Error ServiceImpl::GetStatus(ServiceStatus& status) {
  // The network part first: asking the portmapper holds no server lock.
  status.network = NSL::GetNetworkStatus();
  return GetServerStatus(*server_, status.server);
}

Common::Error ServiceImpl::GetStatistics(NSL::StatisticsSnapshot& statistics) {
  statistics = NSL::GetStatistics().Snapshot();
  return Common::Error::Success();
}

}  // namespace NFS
