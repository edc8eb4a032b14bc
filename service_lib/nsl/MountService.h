#pragma once

#include <string>

#include <service_lib/protocol/nfs3.h>

namespace NFS::NSL {

// `client` is the caller's address ("192.0.2.7"): each client's mount is
// its own, and its UMNT releases nothing of anyone else's.
class MountService {
 public:
  virtual ~MountService() = default;
  virtual void Mnt(const dirpath& path, const std::string& client, mountres3& result) = 0;
  virtual void Umnt(const dirpath& path, const std::string& client) = 0;
};

}  // namespace NFS::NSL
