#pragma once

#include <memory>

#include "host/Strings.h"
#include "localfs/LocalFs.h"
#include "server_lib/objects/Attributes.h"

namespace NFS {

// Changes an entry through the folder that contains it, by entry name.
class AttributesModifierImpl : public AttributesModifier {
 public:
  // Keeps its own handle on the folder; the one given may be released after.
  AttributesModifierImpl(LocalFs::LocalDirectoryHandle& folder, Common::WString name);

  void SetUnixPermissions(uint32_t mode) override;
  void SetUnixOwner(uint32_t uid, uint32_t gid) override;
  void Truncate(uint64_t size) override;

 private:
  std::unique_ptr<LocalFs::LocalDirectoryHandle> folder_;
  Common::WString name_;
};

}  // namespace NFS
