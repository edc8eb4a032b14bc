#pragma once

#include "host/SourceLocation.h"

#include "host/Error.h"
#include "host/Strings.h"

namespace NFS {

// The local objects' one failure: IoError with the local library's error below it.
[[noreturn]] void ThrowIoError(Common::Error reason,
                               Common::source_location where = Common::source_location::current());

// The same for a refusal made above the local library, in its terms: the
// reason is an operating-system error (errno), so a client is told it as if
// the file system had said it. Without a text, the system's own.
[[noreturn]] void ThrowSystemError(int error, Common::WString text = {},
                                   Common::source_location where = Common::source_location::current());

}  // namespace NFS
