#include "server_lib/local/FSStatImpl.h"

#include <vector>

#include "server_lib/local/IoError.h"

namespace NFS {

FSStatImpl::FSStatImpl(LocalFs::LocalDirectoryHandle& folder) : folder_(folder.OpenDirectory(u".")) {
  if (!folder_) ThrowIoError(folder.TakeStatus());
  if (!folder_->GetDriveSizes(total_, free_, available_)) ThrowIoError(folder_->TakeStatus());
}

uint64_t FSStatImpl::GetTotalFiles() {
  std::vector<uint8_t> request = {'D', 'S', 'T', 'A', 0, 0, 0, 0};
  if (!folder_->Control(request)) {
    folder_->TakeStatus();
    return 0;
  }
  return static_cast<uint64_t>(request[4]) | (static_cast<uint64_t>(request[5]) << 8) |
         (static_cast<uint64_t>(request[6]) << 16) | (static_cast<uint64_t>(request[7]) << 24);
}

}  // namespace NFS
