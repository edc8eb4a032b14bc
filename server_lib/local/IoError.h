#pragma once

#include "host/SourceLocation.h"

#include "host/Error.h"

namespace NFS {

// The local objects' one failure: IoError with the local library's error below it.
[[noreturn]] void ThrowIoError(Common::Error reason,
                               Common::source_location where = Common::source_location::current());

}  // namespace NFS
