#pragma once

#include <memory>

#include "server_lib/server/Server.h"
#include "service_lib/nsl/MountService.h"

namespace NFS::NSL {

class MountServiceImpl : public MountService {
 public:
  explicit MountServiceImpl(std::shared_ptr<Server> server) : server_(std::move(server)) {}
  void Mnt(const dirpath& path, const std::string& client, mountres3& result) override;
  void Umnt(const dirpath& path, const std::string& client) override;

 private:
  std::shared_ptr<Server> server_;
};

}  // namespace NFS::NSL
