#pragma once

#include <string>

namespace Tools {

// A connection to a running host's control socket, made only when the socket
// and the process behind it belong to the caller or root. The descriptor, or
// -1 with the reason printed to standard error and `status` set to 2 (the
// exit status of `call`, `status` and `stats` too): the path or the socket
// is not to be trusted, or no host answers there.
int ConnectToHost(const std::string& socketPath, int& status);

}  // namespace Tools
