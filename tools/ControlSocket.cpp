#include "tools/ControlSocket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/ControlProtocol.h"

namespace Tools {

int ConnectToHost(const std::string& socketPath, std::string& problem) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) {
    problem = "The control socket path '" + socketPath + "' is empty or longer than " +
              std::to_string(sizeof address.sun_path - 1) + " bytes.";
    return -1;
  }
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  if (const Common::Error untrusted = Host::CheckSocketOwner(socketPath); untrusted.IsFailure()) {
    problem = Common::ToUtf8(untrusted.Message());
    return -1;
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    problem = "Cannot reach the host at '" + socketPath + "': " + std::strerror(errno) + " (is it running?)";
    if (fd >= 0) close(fd);
    return -1;
  }
  // The same for the process that really listens, whatever the path showed.
  ucred peer{};
  socklen_t peerSize = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0) {
    problem = "The control socket '" + socketPath + "' is not trusted: its server cannot be identified: " +
              std::strerror(errno) + ".";
    close(fd);
    return -1;
  }
  if (!Host::MayServeSocket(socketPath, peer.uid)) {
    problem = "The control socket '" + socketPath + "' is not trusted: the process serving it runs as user " +
              std::to_string(peer.uid) + ", not as you (" + std::to_string(geteuid()) + ") or root.";
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace Tools
