#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "host/Strings.h"
#include "server_lib/objects/FileSystemObject.h"
#include "server_lib/objects/MixinDirectoryProvider.h"
#include "server_lib/plugins/VirtualFilePlugin.h"

namespace NFS {

// The table of virtual files: entries that exist only in memory, registered
// under a path with a fixed size, whose content a plug-in opens on first
// access. Safe to use from command threads and the RPC thread at once.
class VirtualFilesProvider : public MixinDirectoryProvider {
 public:
  virtual void AddVirtualFile(const Common::WString& path, uint64_t size, const Common::WString& uri,
                              const SourceParams& params) = 0;
  virtual void DeleteVirtualFile(const Common::WString& path) = 0;
  // Empty when no virtual file has the path.
  virtual std::shared_ptr<FileObject> FindVirtualFile(const Common::WString& path) = 0;
  virtual void ControlVirtualFile(const Common::WString& path, std::vector<uint8_t>& request) = 0;
  // The virtual files registered now and the sum of their sizes.
  virtual void CountVirtualFiles(uint64_t& files, uint64_t& bytes) = 0;
};

// A table over the plug-in, or, without one, a stub that refuses every change.
std::shared_ptr<VirtualFilesProvider> CreateVirtualFilesProvider(std::shared_ptr<VirtualFilePlugin> plugin);

// Splits at the last "/": /share/a/f gives /share/a and f; a path without
// "/" is both the folder and the name.
void SplitVirtualPath(const Common::WString& path, Common::WString& folder, Common::WString& name);

}  // namespace NFS
