#pragma once

#include <memory>

#include "server_lib/objects/FileSystemObject.h"
#include "server_lib/overlay/ForwardingDirectory.h"
#include "server_lib/objects/MixinDirectoryProvider.h"

namespace NFS {

// A directory that shows, beside its own entries, the overlay the provider
// has for its path, at every depth. The first overlay found is kept.
class MixinDirectory : public ForwardingDirectory {
 public:
  MixinDirectory(std::shared_ptr<DirObject> base, std::shared_ptr<MixinDirectoryProvider> provider);

  std::shared_ptr<DirEntriesEnumerator> GetEnumerator(uint64_t id) override;
  std::shared_ptr<FileSystemObject> Lookup(const Common::WString& name) override;
  void DeleteFile(const Common::WString& name) override;
  void DeleteDir(const Common::WString& name) override;
  void Rename(const Common::WString& from, const Common::WString& to) override;

 private:
  DirObject& Effective();

  std::shared_ptr<MixinDirectoryProvider> provider_;
  std::shared_ptr<DirObject> combined_;
};

}  // namespace NFS
