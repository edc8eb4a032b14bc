#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace NFS {

// Which client addresses have mounted the share: bookkeeping only. The
// share itself lives from one SetRoot to the next whatever clients mount or
// unmount, so no client can take it from the others. Bounded: the addresses
// seen most recently are kept, the least recently seen forgotten first, so
// neither a loop of mounts nor a crowd of addresses grows it.
class ClientMounts {
 public:
  virtual ~ClientMounts() = default;
  // Records `client`, or marks its record as the most recently seen.
  // Returns whether the record is new.
  virtual bool Add(const std::string& client) = 0;
  // Drops the record of `client` only; false when it had none.
  virtual bool Remove(const std::string& client) = 0;
  virtual size_t Count() const = 0;
};

inline constexpr size_t kMostClientMounts = 4096;

std::unique_ptr<ClientMounts> CreateClientMounts(size_t capacity = kMostClientMounts);

}  // namespace NFS
