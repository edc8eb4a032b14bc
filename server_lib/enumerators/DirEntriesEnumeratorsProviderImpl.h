#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "server_lib/objects/DirEntriesEnumerator.h"

namespace NFS {

// Enumerators of one directory, kept until the directory object goes. Ids
// start from a base derived from the directory's path, so ids of different
// directories differ in their upper 56 bits.
class DirEntriesEnumeratorsProviderImpl : public DirEntriesEnumeratorsProvider {
 public:
  explicit DirEntriesEnumeratorsProviderImpl(IteratorSource& source);

  std::shared_ptr<DirEntriesEnumerator> GetEnumerator(uint64_t id) override;

  uint64_t GetBase() const { return base_; }

 private:
  std::shared_ptr<DirEntriesEnumerator> CreateEnumerator();

  IteratorSource& source_;
  std::map<uint64_t, std::shared_ptr<DirEntriesEnumerator>> enumerators_;
  uint64_t base_;
  uint64_t lastId_;
};

}  // namespace NFS
