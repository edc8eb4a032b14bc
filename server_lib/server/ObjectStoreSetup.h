#pragma once

#include <cstddef>
#include <memory>

#include "host/Error.h"
#include "server_lib/server/Server.h"
#include "server_lib/store/ObjectStore.h"

namespace NFS {

// For servers made by CreateServer: the store that remembers the ids handed
// out (none: ids live only while cached), and how many objects each share's
// cache holds (0: no limit). Applies at once; a share exported already
// starts with an empty cache, its ids resolving through the store. Fails
// for other servers.
Common::Error SetObjectStore(Server& server, std::shared_ptr<ObjectStore> store, size_t cacheCapacity);

}  // namespace NFS
