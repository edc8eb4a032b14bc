#pragma once

#include <memory>

#include "host/Error.h"
#include "host/Strings.h"
#include "localfs/LocalFs.h"

namespace NFS {

// Two strings that travel unchanged from registration to the plug-in that
// opens the content; their meaning belongs to the plug-ins.
struct SourceParams {
  Common::WString first;
  Common::WString second;
};

// Supplies the content of virtual files for the URIs it accepts. Called from
// command threads and the RPC thread alike, so it must accept concurrent calls.
class VirtualFilePlugin {
 public:
  static constexpr const char* kInterfaceName = "NFS::VirtualFilePlugin";

  virtual ~VirtualFilePlugin() = default;
  virtual void SetContext(void* context) {}
  virtual Common::WString GetName() = 0;
  virtual bool CanOpen(const Common::WString& uri) = 0;
  // Returns a failure record rather than throwing for ordinary failures.
  virtual Common::Error OpenFile(const Common::WString& uri, const SourceParams& params,
                                 std::unique_ptr<LocalFs::LocalFileHandle>& content) = 0;
};

}  // namespace NFS
