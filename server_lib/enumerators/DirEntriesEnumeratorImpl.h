#pragma once

#include <memory>

#include "server_lib/enumerators/IndexedDirectoryIterator.h"
#include "server_lib/enumerators/OpenListings.h"
#include "server_lib/objects/DirEntriesEnumerator.h"

namespace NFS {

// A resumable listing. Its directory stream counts against the process-wide
// budget of open listings: when parked it keeps only its position, and the
// next use lists again up to that position, as a Seek elsewhere would.
class DirEntriesEnumeratorImpl : public DirEntriesEnumerator, private ParkableListing {
 public:
  DirEntriesEnumeratorImpl(uint64_t id, DirEntriesEnumeratorsProvider::IteratorSource& source);
  ~DirEntriesEnumeratorImpl() override;

  uint64_t GetId() override { return id_; }
  bool IsValid() override;
  Common::WString GetName() override;
  std::shared_ptr<AttributesAccessor> GetAttributes() override;
  ObjectId GetEntryId() override;
  uint32_t GetCookie() override;
  void Next() override;
  void Seek(uint32_t position) override;

 private:
  std::unique_ptr<IndexedDirectoryIterator> FreshIterator();
  // The open iterator, reopened at the kept position if it was parked.
  // Called with streamMutex_ held.
  IndexedDirectoryIterator& Iterator();
  void Park() override;
  const Common::WString& ListedPath() const override { return sourceName_; }

  uint64_t id_;
  DirEntriesEnumeratorsProvider::IteratorSource& source_;
  Common::WString sourceName_;
  std::unique_ptr<IndexedDirectoryIterator> iterator_;  // empty while parked
  uint32_t parkedIndex_ = 0;
  bool parkedValid_ = false;
};

}  // namespace NFS
