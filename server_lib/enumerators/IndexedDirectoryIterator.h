#pragma once

#include <cstdint>
#include <memory>

#include "server_lib/objects/DirectoryIterator.h"

namespace NFS {

// Counts the entries it has stepped over.
class IndexedDirectoryIterator : public DirectoryIterator {
 public:
  explicit IndexedDirectoryIterator(std::unique_ptr<DirectoryIterator> iterator)
      : iterator_(std::move(iterator)) {}

  bool IsValid() override { return iterator_->IsValid(); }
  Common::WString GetName() override { return iterator_->GetName(); }
  std::shared_ptr<AttributesAccessor> GetAttributes() override { return iterator_->GetAttributes(); }
  void Next() override {
    iterator_->Next();
    ++index_;
  }

  uint32_t GetIndex() const { return index_; }

 private:
  std::unique_ptr<DirectoryIterator> iterator_;
  uint32_t index_ = 0;
};

}  // namespace NFS
