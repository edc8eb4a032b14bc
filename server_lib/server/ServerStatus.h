#pragma once

#include <cstdint>
#include <vector>

#include "host/Error.h"
#include "host/Strings.h"
#include "server_lib/providers/ObjectsProvider.h"
#include "server_lib/server/Server.h"

namespace NFS {

// What the server core holds now, for operators.
struct ServerStatus {
  Common::WString shareName;  // both empty until a root is set
  Common::WString localPath;
  std::vector<CachedObjects> cachedObjects;  // per share
  CacheCounters cache;
  // Ids the store holds on disk; false when there is no store.
  bool hasStore = false;
  uint64_t storedObjects = 0;
  // Client addresses with a mount on record: the 4 096 most recent at most.
  uint64_t mountedClients = 0;
  // The local file system's pool of descriptors (process-wide).
  uint64_t descriptorsOpen = 0;
  uint64_t descriptorLimit = 0;
  // Listings (process-wide): those holding a directory stream against
  // their budget, and every enumerator kept, open or parked.
  uint64_t openListings = 0;
  uint64_t openListingLimit = 0;
  uint64_t keptEnumerators = 0;
  uint64_t virtualFiles = 0;
  uint64_t virtualBytes = 0;  // the sum of their sizes
  uint64_t observers = 0;
};

// For servers made by CreateServer; taken under the server's operations
// lock, so it waits for the operation in hand. Fails for other servers.
Common::Error GetServerStatus(Server& server, ServerStatus& status);

}  // namespace NFS
