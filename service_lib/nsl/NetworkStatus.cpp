#include <arpa/inet.h>
#include <netinet/in.h>
#include <rpc/rpc.h>
// After rpc.h, which defines the types it uses.
#include <rpc/pmap_prot.h>

#include <string>

#include "service_lib/nsl/NSLServiceImpl.h"
#include "service_lib/nsl/Service.h"
#include "service_lib/nsl/Statistics.h"

namespace NFS::NSL {

namespace {

constexpr uint32_t kMountProgram = 100005;
constexpr uint32_t kNfsProgram = 100003;
constexpr uint32_t kVersion = 3;
// The portmapper on loopback answers at once or not at all.
constexpr timeval kPortmapperTimeout{2, 0};

template <typename Coder>
xdrproc_t X(Coder coder) {
  return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(coder));
}

// PMAPPROC_GETPORT over TCP: pmap_getport asks over UDP and waits up to a
// minute when no portmapper runs, while a refused TCP connection says so
// at once.
bool AskPortmapper(CLIENT* client, uint32_t program, uint16_t& port, std::string& error) {
  pmap query{program, kVersion, IPPROTO_TCP, 0};
  u_long answer = 0;
  const clnt_stat status = clnt_call(client, PMAPPROC_GETPORT, X(xdr_pmap), reinterpret_cast<char*>(&query),
                                     X(xdr_u_long), reinterpret_cast<char*>(&answer), kPortmapperTimeout);
  if (status != RPC_SUCCESS) {
    error = clnt_sperrno(status);
    return false;
  }
  port = static_cast<uint16_t>(answer);
  return true;
}

}  // namespace

NetworkStatus GetNetworkStatus() {
  NetworkStatus status = static_cast<NSLServiceImpl&>(GetNetworkService()).GetRpcThreadStatus();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(PMAPPORT);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int socket = RPC_ANYSOCK;
  CLIENT* client = clnttcp_create(&address, PMAPPROG, PMAPVERS, &socket, 0, 0);
  if (client == nullptr) {
    status.portmapperError = "no portmapper answers on 127.0.0.1:111";
    return status;
  }
  if (AskPortmapper(client, kMountProgram, status.portmapperMountPort, status.portmapperError)) {
    AskPortmapper(client, kNfsProgram, status.portmapperNfsPort, status.portmapperError);
  }
  clnt_destroy(client);
  return status;
}

}  // namespace NFS::NSL
