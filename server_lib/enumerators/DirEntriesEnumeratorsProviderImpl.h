#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>

#include "server_lib/objects/DirEntriesEnumerator.h"

namespace NFS {

// Enumerators of one directory, at most kMaxEnumerators of them: clients
// start listings and never finish them, so the least recently used one is
// dropped beyond that, and its verifier is then an unknown one (the client
// restarts the listing). Ids start from a base derived from the directory's
// path, so ids of different directories differ in their upper 56 bits.
class DirEntriesEnumeratorsProviderImpl : public DirEntriesEnumeratorsProvider {
 public:
  static constexpr size_t kMaxEnumerators = 256;

  explicit DirEntriesEnumeratorsProviderImpl(IteratorSource& source);

  std::shared_ptr<DirEntriesEnumerator> GetEnumerator(uint64_t id) override;

  uint64_t GetBase() const { return base_; }

 private:
  struct Entry {
    std::shared_ptr<DirEntriesEnumerator> enumerator;
    std::list<uint64_t>::iterator recency;
  };

  std::shared_ptr<DirEntriesEnumerator> CreateEnumerator();

  IteratorSource& source_;
  std::map<uint64_t, Entry> enumerators_;
  std::list<uint64_t> recency_;  // ids, most recently used first
  uint64_t base_;
  uint64_t lastId_;
};

}  // namespace NFS
