#include "server_lib/local/IoError.h"

#include <cstring>

#include "server_lib/core/ServerErrors.h"

namespace NFS {

void ThrowIoError(Common::Error reason, Common::source_location where) {
  throw Common::Error(ErrorCode::IoError, Common::FormatMessage(Messages::IoError), std::move(reason),
                      where);
}

void ThrowSystemError(int error, Common::WString text, Common::source_location where) {
  if (text.empty()) text = Common::FromUtf8(std::strerror(error));
  ThrowIoError(Common::Error(ErrorCode::LocalSystemError + static_cast<uint32_t>(error), std::move(text),
                             Common::Error(), where),
               where);
}

}  // namespace NFS
