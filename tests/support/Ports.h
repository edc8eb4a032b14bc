#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace TestSupport {

// A loopback TCP socket bound to a port of the kernel's choosing, not yet
// listening: it holds the port until closed.
inline int BoundLoopbackSocket() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  return fd;
}

inline uint16_t PortOf(int fd) {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  return ntohs(address.sin_port);
}

// A loopback port nothing listens on now (another program may take it
// before the caller does; good enough for a test's own server).
inline uint16_t FreeLoopbackPort() {
  const int fd = BoundLoopbackSocket();
  const uint16_t port = PortOf(fd);
  close(fd);
  return port;
}

}  // namespace TestSupport
