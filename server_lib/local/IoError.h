#pragma once

#include <source_location>

#include "host/Error.h"

namespace NFS {

// The local objects' one failure: IoError with the local library's error below it.
[[noreturn]] void ThrowIoError(Common::Error reason,
                               std::source_location where = std::source_location::current());

}  // namespace NFS
