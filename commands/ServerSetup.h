#pragma once

#include "host/Network.h"
#include "host/Records.h"
#include "control_lib/server/ServerControlComponent.h"

// What StartServer and SetAccess make of their requests' properties. Each
// throws a Common::Error that says which value is wrong, before anything
// changes.
namespace NFS {

// The networks of an "AllowClients" list.
Host::ClientNetworks AllowedClientsOf(const Common::WString& list);

// Where to listen and who may call, from the request's optional fields:
// without them, every interface, port 2029 (or any), loopback clients only
// and a writable export.
NSL::NetworkOptions NetworkOptionsOf(const Core::Record& request);

// The store named by the request, or the default one, and the cache size.
// A folder given on purpose that cannot hold a store stops the start; the
// default one only costs the handles their life beyond the process.
void SetUpObjectStore(const Core::Record& request, ServerControl& control);

}  // namespace NFS
