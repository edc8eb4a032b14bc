#pragma once

// What every NFS reply shares around the part that is the procedure's own:
// where its success and failure arms live, and how a server failure becomes
// the reply's status.

#include <service_lib/protocol/nfs3.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "host/Error.h"
#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"
#include "service_lib/nsl/CallFailureLog.h"
#include "service_lib/nsl/WireConversions.h"

namespace NFS::NSL {

// The procedure number of a reply record, its success arm and the way its
// failure arm is filled (attributes and weak cache data absent).
template <typename Result>
struct ReplyArms;

// The library's coder type is variadic; a generated coder gets there through
// the generic function pointer type.
template <typename Coder>
xdrproc_t XdrCoder(Coder coder) {
  return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(coder));
}

#define NFS_REPLY_ARMS(NAME, NUMBER)                                          \
  template <>                                                                 \
  struct ReplyArms<NAME##res> {                                               \
    static constexpr uint32_t kProcedure = NUMBER;                            \
    static NAME##resok& Ok(NAME##res& r) { return r.NAME##res_u.resok; }      \
    static void Fail(NAME##res& r) { r.NAME##res_u.resfail = {}; }            \
    static xdrproc_t Coder() { return XdrCoder(xdr_##NAME##res); }            \
  }

NFS_REPLY_ARMS(SETATTR3, 2);
NFS_REPLY_ARMS(LOOKUP3, 3);
NFS_REPLY_ARMS(ACCESS3, 4);
NFS_REPLY_ARMS(READ3, 6);
NFS_REPLY_ARMS(WRITE3, 7);
NFS_REPLY_ARMS(CREATE3, 8);
NFS_REPLY_ARMS(MKDIR3, 9);
NFS_REPLY_ARMS(REMOVE3, 12);
NFS_REPLY_ARMS(RMDIR3, 13);
NFS_REPLY_ARMS(RENAME3, 14);
NFS_REPLY_ARMS(READDIRPLUS3, 17);
NFS_REPLY_ARMS(FSSTAT3, 18);
NFS_REPLY_ARMS(FSINFO3, 19);
NFS_REPLY_ARMS(COMMIT3, 21);
#undef NFS_REPLY_ARMS

// GETATTR's failure arm is empty.
template <>
struct ReplyArms<GETATTR3res> {
  static constexpr uint32_t kProcedure = 1;
  static GETATTR3resok& Ok(GETATTR3res& r) { return r.GETATTR3res_u.resok; }
  static void Fail(GETATTR3res&) {}
  static xdrproc_t Coder() { return XdrCoder(xdr_GETATTR3res); }
};

enum class FailureLog { Write, Skip };

// Settles the reply's status from a server result: NFS3_OK, or the failure
// mapped to its status, logged at level 4 (unless skipped, and within the
// limit of its procedure and status), and the failure arm filled. Returns
// whether the call succeeded.
template <typename Result>
bool Settle(Result& result, const Common::Error& error, FailureLog log = FailureLog::Write) {
  if (error.IsFailure()) {
    result.status = MapErrorToNfsStatus(error);
    if (log == FailureLog::Write) {
      LogCallFailure(DescribeCall(RpcProgram::Nfs, ReplyArms<Result>::kProcedure, result.status), error);
    }
    ReplyArms<Result>::Fail(result);
    return false;
  }
  result.status = NFS3_OK;
  return true;
}

// A request that threw instead of returning its failure (an allocation
// that failed, a fault of the local file system): whatever the success arm
// holds so far is released, and the call alone fails, NFS3ERR_IO for a
// failure record, NFS3ERR_SERVERFAULT for anything else. The thread that
// serves every client goes on.
template <typename Result>
void SettleThrown(Result& result, nfsstat3 status, const char* what) {
  Common::Logger::Write(Common::kFailure, kLogChannel, std::string("A request failed unexpectedly: ") + what);
  xdr_free(ReplyArms<Result>::Coder(), reinterpret_cast<char*>(&result));
  std::memset(&result, 0, sizeof result);
  result.status = status;
}

// Nothing more to do when a call fails.
struct NoCleanup {
  void operator()() const {}
};

}  // namespace NFS::NSL
