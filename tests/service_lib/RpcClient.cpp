#include "tests/service_lib/RpcClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

namespace TestSupport {

RpcClient::RpcClient(uint16_t port, uint32_t program, uint32_t version) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  client_ = clnttcp_create(&address, program, version, &socket_, 0, 0);
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
