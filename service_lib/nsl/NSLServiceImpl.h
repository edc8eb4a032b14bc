#pragma once

#include <memory>
#include <mutex>

#include "service_lib/nsl/FileServiceImpl.h"
#include "service_lib/nsl/MountServiceImpl.h"
#include "service_lib/nsl/RpcThread.h"
#include "service_lib/nsl/Service.h"

namespace NFS::NSL {

class NSLServiceImpl : public Service {
 public:
  ~NSLServiceImpl() override;

  using Service::Start;
  Common::Error Start(std::shared_ptr<Server> server, const NetworkOptions& options) override;
  Common::Error Stop() override;
  std::shared_ptr<MountService> GetMountService() override;
  std::shared_ptr<FileService> GetFileService() override;
  std::shared_ptr<const AccessPolicy> GetAccessPolicy() override;
  void SetAccessPolicy(const AccessPolicy& policy) override;

  uint16_t GetPort();
  // Serving, port, uptime and connections; the portmapper is not asked here.
  NetworkStatus GetRpcThreadStatus();

 private:
  struct RunningServices {
    std::shared_ptr<MountServiceImpl> mountService;
    std::shared_ptr<FileServiceImpl> fileService;
    std::unique_ptr<RpcThread> rpcThread;
    bool asyncWrites = false;
  };

  void EndRunning(bool log);

  // Serialises Start and Stop.
  std::mutex mutex_;
  std::unique_ptr<RunningServices> running_;
  // Guards only the two service pointers the request handlers copy, so
  // that a handler never waits on a Stop that is waiting for its thread.
  std::mutex servicesMutex_;
  std::shared_ptr<MountServiceImpl> mountService_;
  std::shared_ptr<FileServiceImpl> fileService_;
  std::shared_ptr<const AccessPolicy> access_ = std::make_shared<const AccessPolicy>();
};

}  // namespace NFS::NSL
