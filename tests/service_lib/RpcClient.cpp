#include "tests/service_lib/RpcClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace TestSupport {

RpcClient::RpcClient(uint16_t port, uint32_t program, uint32_t version) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  client_ = clnttcp_create(&address, program, version, &socket_, 0, 0);
}

RpcClient::RpcClient(const char* source, const char* server, uint16_t port, uint32_t program, uint32_t version) {
  sockaddr_storage to{};
  socklen_t toSize = 0;
  auto& v4 = reinterpret_cast<sockaddr_in&>(to);
  auto& v6 = reinterpret_cast<sockaddr_in6&>(to);
  if (inet_pton(AF_INET, server, &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    toSize = sizeof v4;
  } else if (inet_pton(AF_INET6, server, &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    toSize = sizeof v6;
  } else {
    return;
  }
  const int fd = socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  if (source != nullptr) {
    sockaddr_storage from{};
    socklen_t fromSize = 0;
    if (to.ss_family == AF_INET) {
      auto& f4 = reinterpret_cast<sockaddr_in&>(from);
      f4.sin_family = AF_INET;
      fromSize = inet_pton(AF_INET, source, &f4.sin_addr) == 1 ? sizeof f4 : 0;
    } else {
      auto& f6 = reinterpret_cast<sockaddr_in6&>(from);
      f6.sin6_family = AF_INET6;
      fromSize = inet_pton(AF_INET6, source, &f6.sin6_addr) == 1 ? sizeof f6 : 0;
    }
    if (fromSize == 0 || bind(fd, reinterpret_cast<sockaddr*>(&from), fromSize) != 0) {
      close(fd);
      return;
    }
  }
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), toSize) != 0) {
    close(fd);
    return;
  }
  netbuf address{toSize, toSize, &to};
  client_ = clnt_vc_create(fd, &address, program, version, 0, 0);
  if (client_ == nullptr) {
    close(fd);
    return;
  }
  // The client closes its socket when it is destroyed.
  clnt_control(client_, CLSET_FD_CLOSE, nullptr);
  socket_ = fd;
}

RpcClient::~RpcClient() {
  if (client_ != nullptr) clnt_destroy(client_);
}

clnt_stat RpcClient::CallRaw(uint32_t procedure, xdrproc_t encode, void* args, xdrproc_t decode, void* result,
                             int timeoutMs) {
  if (client_ == nullptr) return RPC_CANTSEND;
  timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return clnt_call(client_, procedure, encode, static_cast<char*>(args), decode, static_cast<char*>(result),
                   timeout);
}

clnt_stat RpcClient::CallVoid(uint32_t procedure, int timeoutMs) {
  return CallRaw(procedure, reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_void)), nullptr,
                 reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_void)), nullptr, timeoutMs);
}

nfs_fh3 Handle(std::vector<uint8_t>& bytes) {
  nfs_fh3 handle{};
  handle.data.data_len = static_cast<u_int>(bytes.size());
  handle.data.data_val = reinterpret_cast<char*>(bytes.data());
  return handle;
}

std::vector<uint8_t> Bytes(const nfs_fh3& handle) {
  const auto* data = reinterpret_cast<const uint8_t*>(handle.data.data_val);
  return std::vector<uint8_t>(data, data + handle.data.data_len);
}

}  // namespace TestSupport
