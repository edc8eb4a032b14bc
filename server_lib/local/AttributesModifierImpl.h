#pragma once

#include <memory>

#include "host/Strings.h"
#include "localfs/LocalFs.h"
#include "server_lib/objects/Attributes.h"

namespace NFS {

// Changes an entry through the folder that contains it, by entry name, or a
// folder through its own descriptor (the name "."). Every change the local
// file system refuses is thrown, for the client to be told.
class AttributesModifierImpl : public AttributesModifier {
 public:
  enum class Target { kFile, kFolder };

  // Keeps its own handle on the folder; the one given may be released after.
  AttributesModifierImpl(LocalFs::LocalDirectoryHandle& folder, Common::WString name, Target target = Target::kFile);

  void SetUnixPermissions(uint32_t mode) override;
  void SetUnixOwner(uint32_t uid, uint32_t gid) override;
  void Truncate(uint64_t size) override;

 private:
  // A file's name may hold another kind of object by now (a folder made
  // after the file was moved away): that is not the handle's object.
  void CheckStillAFile();

  std::unique_ptr<LocalFs::LocalDirectoryHandle> folder_;
  Common::WString name_;
  Target target_;
};

}  // namespace NFS
