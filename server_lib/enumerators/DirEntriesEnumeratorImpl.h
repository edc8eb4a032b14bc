#pragma once

#include <memory>

#include "server_lib/enumerators/IndexedDirectoryIterator.h"
#include "server_lib/objects/DirEntriesEnumerator.h"

namespace NFS {

class DirEntriesEnumeratorImpl : public DirEntriesEnumerator {
 public:
  DirEntriesEnumeratorImpl(uint64_t id, DirEntriesEnumeratorsProvider::IteratorSource& source);

  uint64_t GetId() override { return id_; }
  bool IsValid() override { return iterator_->IsValid(); }
  Common::WString GetName() override { return iterator_->GetName(); }
  std::shared_ptr<AttributesAccessor> GetAttributes() override { return iterator_->GetAttributes(); }
  ObjectId GetEntryId() override;
  uint32_t GetCookie() override { return iterator_->GetIndex(); }
  void Next() override;
  void Seek(uint32_t position) override;

 private:
  std::unique_ptr<IndexedDirectoryIterator> FreshIterator();

  uint64_t id_;
  DirEntriesEnumeratorsProvider::IteratorSource& source_;
  Common::WString sourceName_;
  std::unique_ptr<IndexedDirectoryIterator> iterator_;
};

}  // namespace NFS
