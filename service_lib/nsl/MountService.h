#pragma once

#include <service_lib/protocol/nfs3.h>

namespace NFS::NSL {

class MountService {
 public:
  virtual ~MountService() = default;
  virtual void Mnt(const dirpath& path, mountres3& result) = 0;
  virtual void Umnt(const dirpath& path) = 0;
};

}  // namespace NFS::NSL
