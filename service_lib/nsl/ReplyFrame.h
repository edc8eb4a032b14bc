#pragma once

// What every NFS reply shares around the part that is the procedure's own:
// where its success and failure arms live, and how a server failure becomes
// the reply's status.

#include <service_lib/protocol/nfs3.h>

#include <cstring>
#include <string>

#include "host/Error.h"
#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"
#include "service_lib/nsl/WireConversions.h"

namespace NFS::NSL {

// The success arm of a reply record and the way its failure arm is filled
// (attributes and weak cache data absent).
template <typename Result>
struct ReplyArms;

// The library's coder type is variadic; a generated coder gets there through
// the generic function pointer type.
template <typename Coder>
xdrproc_t XdrCoder(Coder coder) {
  return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(coder));
}

#define NFS_REPLY_ARMS(NAME)                                                    \
  template <>                                                                   \
  struct ReplyArms<NAME##res> {                                                 \
    static NAME##resok& Ok(NAME##res& r) { return r.NAME##res_u.resok; }        \
    static void Fail(NAME##res& r) { r.NAME##res_u.resfail = {}; }              \
    static xdrproc_t Coder() { return XdrCoder(xdr_##NAME##res); }              \
  }

NFS_REPLY_ARMS(SETATTR3);
NFS_REPLY_ARMS(LOOKUP3);
NFS_REPLY_ARMS(ACCESS3);
NFS_REPLY_ARMS(READ3);
NFS_REPLY_ARMS(WRITE3);
NFS_REPLY_ARMS(CREATE3);
NFS_REPLY_ARMS(MKDIR3);
NFS_REPLY_ARMS(REMOVE3);
NFS_REPLY_ARMS(RMDIR3);
NFS_REPLY_ARMS(RENAME3);
NFS_REPLY_ARMS(READDIRPLUS3);
NFS_REPLY_ARMS(FSSTAT3);
NFS_REPLY_ARMS(FSINFO3);
NFS_REPLY_ARMS(COMMIT3);
#undef NFS_REPLY_ARMS

// GETATTR's failure arm is empty.
template <>
struct ReplyArms<GETATTR3res> {
  static GETATTR3resok& Ok(GETATTR3res& r) { return r.GETATTR3res_u.resok; }
  static void Fail(GETATTR3res&) {}
  static xdrproc_t Coder() { return XdrCoder(xdr_GETATTR3res); }
};

enum class FailureLog { Write, Skip };

// Settles the reply's status from a server result: NFS3_OK, or the failure
// logged at level 4 (unless skipped), mapped to its status, and the failure
// arm filled. Returns whether the call succeeded.
template <typename Result>
bool Settle(Result& result, const Common::Error& error, FailureLog log = FailureLog::Write) {
  if (error.IsFailure()) {
    if (log == FailureLog::Write) Common::Log(Common::kFailure, kLogChannel, error);
    result.status = MapErrorToNfsStatus(error);
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
