#pragma once

#include <rpc/rpc.h>

namespace NFS::NSL {

// The dispatch routines registered for MOUNT version 3 and NFS version 3.
void MountDispatch(struct svc_req* request, SVCXPRT* transport);
void NfsDispatch(struct svc_req* request, SVCXPRT* transport);

}  // namespace NFS::NSL
