#include "module/Options.h"

#include "host/Resources.h"

namespace NFS {

std::unique_ptr<Configuration::Option> OptionProvider::GetDefaultValue() {
  // Read each time, so that edited resource strings apply without a rebuild.
  const Core::ResourceTable resources = Core::ResourceTable::Load(resourcePath_);
  auto option = std::make_unique<Configuration::Option>(kTypeName);
  option->Set("LocalPath", resources.Get("nfs_local_path"));
  option->Set("ShareName", resources.Get("nfs_share_name"));
  return option;
}

}  // namespace NFS
