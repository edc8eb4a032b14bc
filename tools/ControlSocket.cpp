#include "tools/ControlSocket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/app/ControlProtocol.h"

namespace Tools {

int ConnectToHost(const std::string& socketPath, int& status) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  status = 2;
  if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) {
    std::fprintf(stderr, "The control socket path '%s' is empty or longer than %zu bytes.\n", socketPath.c_str(),
                 sizeof address.sun_path - 1);
    return -1;
  }
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  // Another user's socket could read what is sent and answer in the host's name.
  if (const Common::Error untrusted = Host::CheckSocketOwner(socketPath); untrusted.IsFailure()) {
    std::fprintf(stderr, "%s\n", Common::ToUtf8(untrusted.Message()).c_str());
    return -1;
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::fprintf(stderr, "Cannot reach the host at '%s': %s (is it running?)\n", socketPath.c_str(),
                 std::strerror(errno));
    if (fd >= 0) close(fd);
    return -1;
  }
  // The same for the process that really listens, whatever the path showed.
  ucred peer{};
  socklen_t peerSize = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0) {
    std::fprintf(stderr, "The control socket '%s' is not trusted: its server cannot be identified: %s.\n",
                 socketPath.c_str(), std::strerror(errno));
    close(fd);
    return -1;
  }
  if (peer.uid != geteuid() && peer.uid != 0) {
    std::fprintf(stderr,
                 "The control socket '%s' is not trusted: the process serving it runs as user %u, not as you (%u) "
                 "or root.\n",
                 socketPath.c_str(), static_cast<unsigned>(peer.uid), static_cast<unsigned>(geteuid()));
    close(fd);
    return -1;
  }
  status = 0;
  return fd;
}

}  // namespace Tools
