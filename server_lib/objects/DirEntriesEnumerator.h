#pragma once

#include <cstdint>
#include <memory>

#include "host/Strings.h"
#include "server_lib/core/ObjectId.h"
#include "server_lib/objects/Attributes.h"
#include "server_lib/objects/DirectoryIterator.h"

namespace NFS {

// A resumable walk over a directory: its id travels to the client as the
// cookie verifier, its position as the cookie.
class DirEntriesEnumerator {
 public:
  virtual ~DirEntriesEnumerator() = default;
  virtual uint64_t GetId() = 0;
  virtual bool IsValid() = 0;
  virtual Common::WString GetName() = 0;
  virtual std::shared_ptr<AttributesAccessor> GetAttributes() = 0;
  virtual ObjectId GetEntryId() = 0;
  // Entries passed since the start of the listing.
  virtual uint32_t GetCookie() = 0;
  virtual void Next() = 0;
  virtual void Seek(uint32_t position) = 0;
};

class DirEntriesEnumeratorsProvider {
 public:
  // Implemented by every directory that wants cookie enumeration.
  class IteratorSource {
   public:
    virtual ~IteratorSource() = default;
    virtual Common::WString GetSourceName() = 0;
    // A fresh iterator positioned on the first entry.
    virtual std::unique_ptr<DirectoryIterator> CreateIterator() = 0;
  };

  virtual ~DirEntriesEnumeratorsProvider() = default;
  // Id 0 creates a new enumerator; an unknown id gives an empty pointer.
  virtual std::shared_ptr<DirEntriesEnumerator> GetEnumerator(uint64_t id) = 0;
};

}  // namespace NFS
