#include "server_lib/local/IoError.h"

#include "server_lib/core/ServerErrors.h"

namespace NFS {

void ThrowIoError(Common::Error reason, Common::source_location where) {
  throw Common::Error(ErrorCode::IoError, Common::FormatMessage(Messages::IoError), std::move(reason),
                      where);
}

}  // namespace NFS
