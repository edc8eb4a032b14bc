#include "service_lib/nsl/Dispatch.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <unordered_map>

#include <service_lib/protocol/nfs3.h>

#include "host/Logging.h"
#include "host/Network.h"
#include "server_lib/core/ServerErrors.h"
#include "service_lib/nsl/FileService.h"
#include "service_lib/nsl/MountService.h"
#include "service_lib/nsl/Service.h"
#include "service_lib/nsl/Statistics.h"

namespace NFS::NSL {

namespace {

// Returns whether a reply is to be sent. The transport tells who calls.
using Handler = bool (*)(void* args, void* result, SVCXPRT* transport);

struct Procedure {
  xdrproc_t decodeArgs;
  xdrproc_t encodeResult;
  Handler handler;
};

template <typename Args, typename Result, void (FileService::*Method)(const Args&, Result&)>
bool ServeFile(void* args, void* result, SVCXPRT*) {
  const std::shared_ptr<FileService> service = GetNetworkService().GetFileService();
  if (!service) return false;
  ((*service).*Method)(*static_cast<const Args*>(args), *static_cast<Result*>(result));
  return true;
}

bool Silent(const char* trace) {
  Common::Trace(kLogChannel, trace);
  return false;
}

// The library's coder type is variadic; every coder goes through the
// generic function pointer type to get there.
template <typename Coder>
xdrproc_t X(Coder coder) {
  return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(coder));
}

constexpr uint32_t kNfsAccess = 4;
constexpr uint32_t kNfsRead = 6;
constexpr uint32_t kNfsWrite = 7;
constexpr uint32_t kMountMnt = 1;
constexpr uint32_t kMountUmnt = 3;
// Refused clients are logged at most this often per address.
constexpr uint64_t kRefusalLogNs = 60'000'000'000;
constexpr size_t kRefusalLogAddresses = 4096;

const Common::Message kClientRefused{
    0x18220100, "Refused the calls of {0}: the address is not among the allowed clients ({1})."};

// The procedures that change the export: SETATTR, WRITE, CREATE, MKDIR,
// REMOVE, RMDIR, RENAME.
bool ChangesExport(uint32_t procedure) {
  switch (procedure) {
    case 2: case 7: case 8: case 9: case 12: case 13: case 14:
      return true;
    default:
      return false;
  }
}

// When each refused address was last logged; the RPC thread's only.
class RefusalLog {
 public:
  void Refused(const sockaddr* peer, socklen_t size, const Host::ClientNetworks& allowed) {
    const std::string address = Host::FormatIpAddress(peer, size);
    const uint64_t now = SteadyNowNs();
    auto found = lastLogged_.find(address);
    if (found != lastLogged_.end() && now - found->second < kRefusalLogNs) return;
    if (found == lastLogged_.end() && lastLogged_.size() >= kRefusalLogAddresses) {
      std::erase_if(lastLogged_, [now](const auto& entry) { return now - entry.second >= kRefusalLogNs; });
      // A flood of addresses at once: forget them all rather than grow.
      if (lastLogged_.size() >= kRefusalLogAddresses) lastLogged_.clear();
    }
    lastLogged_[address] = now;
    Common::Warning(kLogChannel, kClientRefused, address, allowed.ToString());
  }

 private:
  std::unordered_map<std::string, uint64_t> lastLogged_;
};

RefusalLog g_refusalLog;

// Fills a reply that is its status alone (every failure arm of these
// results is optional data, left absent). Returns whether a reply is sent:
// MNT and every NFS procedure get their status, UMNT its empty reply; the
// MOUNT procedures that never answer do not answer now either.
bool ReplyWithStatus(RpcProgram program, uint32_t number, int32_t nfsStatus, mountstat3 mountStatus, void* result) {
  if (program == RpcProgram::Mount) {
    if (number == kMountMnt) static_cast<mountres3*>(result)->fhs_status = mountStatus;
    return number == kMountMnt || number == kMountUmnt;
  }
  std::memcpy(result, &nfsStatus, sizeof nfsStatus);
  return true;
}

// A refused call reaches no handler: nothing is mounted, unmounted or changed.
bool Refuse(RpcProgram program, uint32_t number, Refusal refusal, void* result) {
  return ReplyWithStatus(program, number, refusal == Refusal::kReadOnly ? NFS3ERR_ROFS : NFS3ERR_ACCES,
                         MNT3ERR_ACCES, result);
}

// A handler that threw: whatever its result holds is released and the call
// fails alone, with the program's server-fault status.
bool Failed(RpcProgram program, uint32_t number, const Procedure& procedure, void* result, size_t size,
            const char* what) {
  Common::Logger::Write(Common::kFailure, kLogChannel, std::string("A request failed unexpectedly: ") + what);
  xdr_free(procedure.encodeResult, static_cast<char*>(result));
  std::memset(result, 0, size);
  return ReplyWithStatus(program, number, NFS3ERR_SERVERFAULT, MNT3ERR_SERVERFAULT, result);
}

void Serve(RpcProgram program, const Procedure* table, size_t size, struct svc_req* request, SVCXPRT* transport) {
  // Every call is counted here, on the RPC thread, with fixed counters: its
  // outcome before the reply goes out (a client that has its answer sees it
  // counted), its latency once the reply is sent.
  Statistics& statistics = GetStatistics();
  const uint64_t started = SteadyNowNs();
  const uint32_t number = request->rq_proc;
  if (number >= size) {
    statistics.CountUnknownProcedure(program);
    svcerr_noproc(transport);
    return;
  }
  statistics.CountCall(program, number);
  const Procedure& procedure = table[number];
  // Large enough for any argument or result record of either program.
  union Records {
    GETATTR3args a1; SETATTR3args a2; LOOKUP3args a3; ACCESS3args a4; READLINK3args a5; READ3args a6;
    WRITE3args a7; CREATE3args a8; MKDIR3args a9; SYMLINK3args a10; MKNOD3args a11; REMOVE3args a12;
    RMDIR3args a13; RENAME3args a14; LINK3args a15; READDIR3args a16; READDIRPLUS3args a17;
    FSSTAT3args a18; FSINFO3args a19; PATHCONF3args a20; COMMIT3args a21; dirpath m1;
    GETATTR3res r1; SETATTR3res r2; LOOKUP3res r3; ACCESS3res r4; READLINK3res r5; READ3res r6;
    WRITE3res r7; CREATE3res r8; MKDIR3res r9; SYMLINK3res r10; MKNOD3res r11; REMOVE3res r12;
    RMDIR3res r13; RENAME3res r14; LINK3res r15; READDIR3res r16; READDIRPLUS3res r17;
    FSSTAT3res r18; FSINFO3res r19; PATHCONF3res r20; COMMIT3res r21; mountres3 m2; mountlist m3;
    exports m4;
  };
  Records args;
  Records result;
  std::memset(&args, 0, sizeof args);
  std::memset(&result, 0, sizeof result);
  if (!svc_getargs(transport, procedure.decodeArgs, reinterpret_cast<char*>(&args))) {
    statistics.CountGarbageArguments(program, number);
    svcerr_decode(transport);
    // What was decoded before the failure (a handle, say) is released too.
    xdr_free(procedure.decodeArgs, reinterpret_cast<char*>(&args));
    return;
  }
  // Who may call, and what: every procedure but NULL is checked against the
  // policy, with the peer address the library took when it accepted the
  // connection. A refused call reaches no handler.
  std::optional<Refusal> refusal;
  bool readOnly = false;
  if (number != 0) {
    const std::shared_ptr<const AccessPolicy> policy = GetNetworkService().GetAccessPolicy();
    const auto* peer = reinterpret_cast<const sockaddr*>(transport->xp_rtaddr.buf);
    const auto peerSize = static_cast<socklen_t>(transport->xp_rtaddr.len);
    readOnly = policy->readOnly;
    if (!policy->allowClients.Contains(peer, peerSize)) {
      refusal = Refusal::kClientNotAllowed;
      g_refusalLog.Refused(peer, peerSize, policy->allowClients);
    } else if (readOnly && program == RpcProgram::Nfs && ChangesExport(number)) {
      refusal = Refusal::kReadOnly;
    }
    if (refusal) statistics.CountRefused(*refusal);
  }
  bool reply = false;
  if (refusal) {
    reply = Refuse(program, number, *refusal, &result);
  } else {
    // Nothing a request throws may leave this routine: the library above it
    // is C, and its thread serves every client.
    try {
      reply = procedure.handler(&args, &result, transport);
    } catch (const Common::Error& error) {
      reply = Failed(program, number, procedure, &result, sizeof result, Common::ToUtf8(error.Message()).c_str());
    } catch (const std::exception& error) {
      reply = Failed(program, number, procedure, &result, sizeof result, error.what());
    } catch (...) {
      reply = Failed(program, number, procedure, &result, sizeof result, "an unknown exception");
    }
  }
  // A read-only export grants no change, whatever the modes say.
  if (reply && readOnly && !refusal && program == RpcProgram::Nfs && number == kNfsAccess &&
      result.r4.status == NFS3_OK) {
    result.r4.ACCESS3res_u.resok.access &= ~static_cast<uint32_t>(ACCESS3_MODIFY | ACCESS3_EXTEND | ACCESS3_DELETE);
  }
  if (reply) {
    // Every result but void begins with its status (nfsstat3 or mountstat3).
    const bool hasStatus = procedure.encodeResult != X(xdr_void) && procedure.encodeResult != X(xdr_mountlist) &&
                           procedure.encodeResult != X(xdr_exports);
    int32_t status = 0;
    if (hasStatus) std::memcpy(&status, &result, sizeof status);
    const bool nfsOk = program == RpcProgram::Nfs && hasStatus && status == NFS3_OK;
    const uint64_t bytesRead = nfsOk && number == kNfsRead ? result.r6.READ3res_u.resok.count : 0;
    const uint64_t bytesWritten = nfsOk && number == kNfsWrite ? args.a7.count : 0;
    statistics.CountReply(program, number, hasStatus, static_cast<uint32_t>(status), bytesRead, bytesWritten);
    if (!svc_sendreply(transport, procedure.encodeResult, reinterpret_cast<char*>(&result))) {
      statistics.CountSendFailure(program);
      svcerr_systemerr(transport);
    }
  } else {
    statistics.CountUnanswered(program, number);
  }
  statistics.CountLatency(program, number, SteadyNowNs() - started);
  if (!svc_freeargs(transport, procedure.decodeArgs, reinterpret_cast<char*>(&args))) {
    std::fprintf(stderr, "%s", "unable to free arguments");
    std::exit(1);
  }
  // This library's xdr_free reports nothing, so there is no failure to tell.
  xdr_free(procedure.encodeResult, reinterpret_cast<char*>(&result));
}

bool MountNull(void*, void*, SVCXPRT*) {
  Common::Trace(kLogChannel, "Mount::Null() called");
  return true;
}

// The peer address the library took when it accepted the connection: a
// client's mount is recorded, and released, under it.
std::string ClientOf(const SVCXPRT* transport) {
  return Host::FormatIpAddress(reinterpret_cast<const sockaddr*>(transport->xp_rtaddr.buf),
                               static_cast<socklen_t>(transport->xp_rtaddr.len));
}

bool MountMnt(void* args, void* result, SVCXPRT* transport) {
  const std::shared_ptr<MountService> service = GetNetworkService().GetMountService();
  if (!service) return false;
  service->Mnt(*static_cast<dirpath*>(args), ClientOf(transport), *static_cast<mountres3*>(result));
  return true;
}

bool MountUmnt(void* args, void*, SVCXPRT* transport) {
  const std::shared_ptr<MountService> service = GetNetworkService().GetMountService();
  if (!service) return false;
  service->Umnt(*static_cast<dirpath*>(args), ClientOf(transport));
  return true;
}

const Procedure kMountProcedures[] = {
    {X(xdr_void), X(xdr_void), MountNull},
    {X(xdr_dirpath), X(xdr_mountres3), MountMnt},
    {X(xdr_void), X(xdr_mountlist), [](void*, void*, SVCXPRT*) { return Silent("Mount::Dump() called"); }},
    {X(xdr_dirpath), X(xdr_void), MountUmnt},
    {X(xdr_void), X(xdr_void), [](void*, void*, SVCXPRT*) { return Silent("Mount::Umntall() called"); }},
    {X(xdr_void), X(xdr_exports), [](void*, void*, SVCXPRT*) { return Silent("Mount::Export() called"); }},
};

bool NfsNull(void*, void*, SVCXPRT*) {
  Common::Trace(kLogChannel, "NFS::Null() called");
  return true;
}

const Procedure kNfsProcedures[] = {
    {X(xdr_void), X(xdr_void), NfsNull},
    {X(xdr_GETATTR3args), X(xdr_GETATTR3res), ServeFile<GETATTR3args, GETATTR3res, &FileService::GetAttr>},
    {X(xdr_SETATTR3args), X(xdr_SETATTR3res), ServeFile<SETATTR3args, SETATTR3res, &FileService::SetAttr>},
    {X(xdr_LOOKUP3args), X(xdr_LOOKUP3res), ServeFile<LOOKUP3args, LOOKUP3res, &FileService::Lookup>},
    {X(xdr_ACCESS3args), X(xdr_ACCESS3res), ServeFile<ACCESS3args, ACCESS3res, &FileService::Access>},
    {X(xdr_READLINK3args), X(xdr_READLINK3res), [](void*, void*, SVCXPRT*) { return Silent("NFS::Readlink() called"); }},
    {X(xdr_READ3args), X(xdr_READ3res), ServeFile<READ3args, READ3res, &FileService::Read>},
    {X(xdr_WRITE3args), X(xdr_WRITE3res), ServeFile<WRITE3args, WRITE3res, &FileService::Write>},
    {X(xdr_CREATE3args), X(xdr_CREATE3res), ServeFile<CREATE3args, CREATE3res, &FileService::Create>},
    {X(xdr_MKDIR3args), X(xdr_MKDIR3res), ServeFile<MKDIR3args, MKDIR3res, &FileService::MkDir>},
    {X(xdr_SYMLINK3args), X(xdr_SYMLINK3res), [](void*, void*, SVCXPRT*) { return Silent("NFS::Symlink() called"); }},
    {X(xdr_MKNOD3args), X(xdr_MKNOD3res), [](void*, void*, SVCXPRT*) { return Silent("NFS::Mknod() called"); }},
    {X(xdr_REMOVE3args), X(xdr_REMOVE3res), ServeFile<REMOVE3args, REMOVE3res, &FileService::Remove>},
    {X(xdr_RMDIR3args), X(xdr_RMDIR3res), ServeFile<RMDIR3args, RMDIR3res, &FileService::RmDir>},
    {X(xdr_RENAME3args), X(xdr_RENAME3res), ServeFile<RENAME3args, RENAME3res, &FileService::Rename>},
    {X(xdr_LINK3args), X(xdr_LINK3res), [](void*, void*, SVCXPRT*) { return Silent("NFS::Link() called"); }},
    {X(xdr_READDIR3args), X(xdr_READDIR3res), [](void*, void*, SVCXPRT*) { return Silent("NFS::Readdir() called"); }},
    {X(xdr_READDIRPLUS3args), X(xdr_READDIRPLUS3res),
     ServeFile<READDIRPLUS3args, READDIRPLUS3res, &FileService::ReadDirPlus>},
    {X(xdr_FSSTAT3args), X(xdr_FSSTAT3res), ServeFile<FSSTAT3args, FSSTAT3res, &FileService::FsStat>},
    {X(xdr_FSINFO3args), X(xdr_FSINFO3res), ServeFile<FSINFO3args, FSINFO3res, &FileService::FsInfo>},
    {X(xdr_PATHCONF3args), X(xdr_PATHCONF3res), [](void*, void*, SVCXPRT*) { return Silent("NFS::Pathconf() called"); }},
    {X(xdr_COMMIT3args), X(xdr_COMMIT3res), ServeFile<COMMIT3args, COMMIT3res, &FileService::Commit>},
};

}  // namespace

void MountDispatch(struct svc_req* request, SVCXPRT* transport) {
  Serve(RpcProgram::Mount, kMountProcedures, std::size(kMountProcedures), request, transport);
}

void NfsDispatch(struct svc_req* request, SVCXPRT* transport) {
  Serve(RpcProgram::Nfs, kNfsProcedures, std::size(kNfsProcedures), request, transport);
}

}  // namespace NFS::NSL
