#pragma once

#include <string>

namespace Tools {

// A connection to a running host's control socket, made only when the socket
// and the process behind it belong to the caller or root: another user's
// socket could read what is sent and answer in the host's name. The
// descriptor, or -1 with `problem` set: the path or the socket is not to be
// trusted, or no host answers there (the operator clients exit with 2 then).
int ConnectToHost(const std::string& socketPath, std::string& problem);

}  // namespace Tools
