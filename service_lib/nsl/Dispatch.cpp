#include "service_lib/nsl/Dispatch.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <service_lib/protocol/nfs3.h>

#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"
#include "service_lib/nsl/FileService.h"
#include "service_lib/nsl/MountService.h"
#include "service_lib/nsl/Service.h"
#include "service_lib/nsl/Statistics.h"

namespace NFS::NSL {

namespace {

// Returns whether a reply is to be sent.
using Handler = bool (*)(void* args, void* result);

struct Procedure {
  xdrproc_t decodeArgs;
  xdrproc_t encodeResult;
  Handler handler;
};

template <typename Args, typename Result, void (FileService::*Method)(const Args&, Result&)>
bool ServeFile(void* args, void* result) {
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

constexpr uint32_t kNfsRead = 6;
constexpr uint32_t kNfsWrite = 7;

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
  if (procedure.handler(&args, &result)) {
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

bool MountNull(void*, void*) {
  Common::Trace(kLogChannel, "Mount::Null() called");
  return true;
}

bool MountMnt(void* args, void* result) {
  const std::shared_ptr<MountService> service = GetNetworkService().GetMountService();
  if (!service) return false;
  service->Mnt(*static_cast<dirpath*>(args), *static_cast<mountres3*>(result));
  return true;
}

bool MountUmnt(void* args, void*) {
  const std::shared_ptr<MountService> service = GetNetworkService().GetMountService();
  if (!service) return false;
  service->Umnt(*static_cast<dirpath*>(args));
  return true;
}

const Procedure kMountProcedures[] = {
    {X(xdr_void), X(xdr_void), MountNull},
    {X(xdr_dirpath), X(xdr_mountres3), MountMnt},
    {X(xdr_void), X(xdr_mountlist), [](void*, void*) { return Silent("Mount::Dump() called"); }},
    {X(xdr_dirpath), X(xdr_void), MountUmnt},
    {X(xdr_void), X(xdr_void), [](void*, void*) { return Silent("Mount::Umntall() called"); }},
    {X(xdr_void), X(xdr_exports), [](void*, void*) { return Silent("Mount::Export() called"); }},
};

bool NfsNull(void*, void*) {
  Common::Trace(kLogChannel, "NFS::Null() called");
  return true;
}

const Procedure kNfsProcedures[] = {
    {X(xdr_void), X(xdr_void), NfsNull},
    {X(xdr_GETATTR3args), X(xdr_GETATTR3res), ServeFile<GETATTR3args, GETATTR3res, &FileService::GetAttr>},
    {X(xdr_SETATTR3args), X(xdr_SETATTR3res), ServeFile<SETATTR3args, SETATTR3res, &FileService::SetAttr>},
    {X(xdr_LOOKUP3args), X(xdr_LOOKUP3res), ServeFile<LOOKUP3args, LOOKUP3res, &FileService::Lookup>},
    {X(xdr_ACCESS3args), X(xdr_ACCESS3res), ServeFile<ACCESS3args, ACCESS3res, &FileService::Access>},
    {X(xdr_READLINK3args), X(xdr_READLINK3res), [](void*, void*) { return Silent("NFS::Readlink() called"); }},
    {X(xdr_READ3args), X(xdr_READ3res), ServeFile<READ3args, READ3res, &FileService::Read>},
    {X(xdr_WRITE3args), X(xdr_WRITE3res), ServeFile<WRITE3args, WRITE3res, &FileService::Write>},
    {X(xdr_CREATE3args), X(xdr_CREATE3res), ServeFile<CREATE3args, CREATE3res, &FileService::Create>},
    {X(xdr_MKDIR3args), X(xdr_MKDIR3res), ServeFile<MKDIR3args, MKDIR3res, &FileService::MkDir>},
    {X(xdr_SYMLINK3args), X(xdr_SYMLINK3res), [](void*, void*) { return Silent("NFS::Symlink() called"); }},
    {X(xdr_MKNOD3args), X(xdr_MKNOD3res), [](void*, void*) { return Silent("NFS::Mknod() called"); }},
    {X(xdr_REMOVE3args), X(xdr_REMOVE3res), ServeFile<REMOVE3args, REMOVE3res, &FileService::Remove>},
    {X(xdr_RMDIR3args), X(xdr_RMDIR3res), ServeFile<RMDIR3args, RMDIR3res, &FileService::RmDir>},
    {X(xdr_RENAME3args), X(xdr_RENAME3res), ServeFile<RENAME3args, RENAME3res, &FileService::Rename>},
    {X(xdr_LINK3args), X(xdr_LINK3res), [](void*, void*) { return Silent("NFS::Link() called"); }},
    {X(xdr_READDIR3args), X(xdr_READDIR3res), [](void*, void*) { return Silent("NFS::Readdir() called"); }},
    {X(xdr_READDIRPLUS3args), X(xdr_READDIRPLUS3res),
     ServeFile<READDIRPLUS3args, READDIRPLUS3res, &FileService::ReadDirPlus>},
    {X(xdr_FSSTAT3args), X(xdr_FSSTAT3res), ServeFile<FSSTAT3args, FSSTAT3res, &FileService::FsStat>},
    {X(xdr_FSINFO3args), X(xdr_FSINFO3res), ServeFile<FSINFO3args, FSINFO3res, &FileService::FsInfo>},
    {X(xdr_PATHCONF3args), X(xdr_PATHCONF3res), [](void*, void*) { return Silent("NFS::Pathconf() called"); }},
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
