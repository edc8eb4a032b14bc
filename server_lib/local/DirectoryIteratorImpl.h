#pragma once

#include <memory>

#include "localfs/LocalFs.h"
#include "server_lib/objects/DirectoryIterator.h"

namespace NFS {

// Walks a local listing, hiding symbolic-link-like entries.
class DirectoryIteratorImpl : public DirectoryIterator {
 public:
  explicit DirectoryIteratorImpl(std::shared_ptr<LocalFs::LocalEntryCursor> cursor);

  bool IsValid() override;
  Common::WString GetName() override;
  std::shared_ptr<AttributesAccessor> GetAttributes() override;
  void Next() override;

 private:
  void SkipHidden();

  std::shared_ptr<LocalFs::LocalEntryCursor> cursor_;
  std::shared_ptr<AttributesAccessor> attributes_;
};

}  // namespace NFS
