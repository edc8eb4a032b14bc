#pragma once

#include <rpc/rpc.h>

#include <cstdint>
#include <string>
#include <vector>

#include <service_lib/protocol/nfs3.h>

namespace TestSupport {

// A plain ONC RPC client over TCP on loopback, with the generated coders.
class RpcClient {
 public:
  RpcClient(uint16_t port, uint32_t program, uint32_t version = 3);
  // From a chosen source address ("127.0.0.2") to a chosen server address
  // ("127.0.0.1", "::1"): a client of another machine, as the server sees it.
  RpcClient(const char* source, const char* server, uint16_t port, uint32_t program, uint32_t version = 3);
  ~RpcClient();
  RpcClient(const RpcClient&) = delete;
  RpcClient& operator=(const RpcClient&) = delete;

  bool IsConnected() const { return client_ != nullptr; }

  template <typename Args, typename Result>
  clnt_stat Call(uint32_t procedure, bool_t (*encode)(XDR*, Args*), Args& args, bool_t (*decode)(XDR*, Result*),
                 Result& result, int timeoutMs = 5000) {
    return CallRaw(procedure, reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(encode)), &args,
                   reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(decode)), &result, timeoutMs);
  }
  clnt_stat CallVoid(uint32_t procedure, int timeoutMs = 5000);
  clnt_stat CallRaw(uint32_t procedure, xdrproc_t encode, void* args, xdrproc_t decode, void* result,
                    int timeoutMs);
  template <typename Result>
  void Free(bool_t (*decode)(XDR*, Result*), Result& result) {
    clnt_freeres(client_, reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(decode)),
                 reinterpret_cast<char*>(&result));
  }

 private:
  CLIENT* client_ = nullptr;
  int socket_ = RPC_ANYSOCK;
};

// Handle and name helpers for building argument records.
nfs_fh3 Handle(std::vector<uint8_t>& bytes);
std::vector<uint8_t> Bytes(const nfs_fh3& handle);

}  // namespace TestSupport
