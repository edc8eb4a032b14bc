#include "service_lib/nsl/NSLServiceImpl.h"

#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"
#include "service_lib/nsl/Statistics.h"

namespace NFS::NSL {

namespace {

constexpr auto kStartupWait = std::chrono::milliseconds(5000);
const Common::Message kStopped{0x18220040, "NFS network services have been stopped."};
const Common::Message kEveryClient{
    0x18220080, "Every client that can reach this machine may mount the share and change it (the list of allowed clients is '*')."};

const Common::Message kAsyncWrites{
    0x18220120,
    "Writes are asynchronous: clients are told their data is on the disk before it is, and a crash of this machine may lose it."};

void WarnOfEveryone(const AccessPolicy& policy) {
  if (policy.allowClients.AllowsEveryone()) Common::Warning(kLogChannel, kEveryClient);
}

}  // namespace

Service& GetNetworkService() {
  static NSLServiceImpl service;
  return service;
}

uint16_t GetListeningPort() { return static_cast<NSLServiceImpl&>(GetNetworkService()).GetPort(); }

NSLServiceImpl::~NSLServiceImpl() {
  std::lock_guard lock(mutex_);
  // At unload the host's logging may already be gone: end quietly.
  EndRunning(false);
}

Common::Error NSLServiceImpl::Start(std::shared_ptr<Server> server, const NetworkOptions& options) {
  std::lock_guard lock(mutex_);
  if (running_) return Common::Error(ErrorCode::AlreadyStarted, Common::FormatMessage(Messages::AlreadyStarted));
  try {
    SetAccessPolicy(options.access);
    auto running = std::make_unique<RunningServices>();
    running->mountService = std::make_shared<MountServiceImpl>(server);
    running->fileService = std::make_shared<FileServiceImpl>(server, options.asyncWrites);
    running->asyncWrites = options.asyncWrites;
    if (options.asyncWrites) Common::Warning(kLogChannel, kAsyncWrites);
    {
      std::lock_guard services(servicesMutex_);
      mountService_ = running->mountService;
      fileService_ = running->fileService;
    }
    running->rpcThread = std::make_unique<RpcThread>(options.listenAddress, options.port);
    running_ = std::move(running);
    return running_->rpcThread->WaitForStartup(kStartupWait);
  } catch (const Common::Error& error) {
    return error;
  }
}

void NSLServiceImpl::EndRunning(bool log) {
  if (!running_) return;
  {
    std::lock_guard services(servicesMutex_);
    mountService_.reset();
    fileService_.reset();
  }
  running_->rpcThread.reset();
  if (log) Common::Notice(kLogChannel, kStopped);
  running_.reset();
}

Common::Error NSLServiceImpl::Stop() {
  std::lock_guard lock(mutex_);
  if (!running_) return Common::Error(ErrorCode::AlreadyStopped, Common::FormatMessage(Messages::AlreadyStopped));
  EndRunning(true);
  return Common::Error::Success();
}

std::shared_ptr<MountService> NSLServiceImpl::GetMountService() {
  std::lock_guard services(servicesMutex_);
  return mountService_;
}

std::shared_ptr<FileService> NSLServiceImpl::GetFileService() {
  std::lock_guard services(servicesMutex_);
  return fileService_;
}

std::shared_ptr<const AccessPolicy> NSLServiceImpl::GetAccessPolicy() {
  std::lock_guard services(servicesMutex_);
  return access_;
}

void NSLServiceImpl::SetAccessPolicy(const AccessPolicy& policy) {
  auto replacement = std::make_shared<const AccessPolicy>(policy);
  {
    std::lock_guard services(servicesMutex_);
    access_ = std::move(replacement);
  }
  WarnOfEveryone(policy);
}

uint16_t NSLServiceImpl::GetPort() {
  std::lock_guard lock(mutex_);
  return running_ && running_->rpcThread ? running_->rpcThread->GetPort() : 0;
}

NetworkStatus NSLServiceImpl::GetRpcThreadStatus() {
  std::lock_guard lock(mutex_);
  NetworkStatus status;
  if (!running_ || !running_->rpcThread) return status;
  const RpcThread& thread = *running_->rpcThread;
  status.port = thread.GetPort();
  const uint64_t since = thread.GetServingSinceNs();
  status.serving = since != 0;
  if (status.serving) status.servingForNs = SteadyNowNs() - since;
  status.connections = thread.GetConnections();
  status.listen = thread.GetListenAddress();
  const std::shared_ptr<const AccessPolicy> access = GetAccessPolicy();
  status.allowClients = access->allowClients.ToString();
  status.readOnly = access->readOnly;
  status.asyncWrites = running_->asyncWrites;
  return status;
}

}  // namespace NFS::NSL
