#include "module/Options.h"

#include "host/Resources.h"

namespace NFS {

std::unique_ptr<Configuration::Option> OptionProvider::GetDefaultValue() {
  // Read each time, so that edited resource strings apply without a rebuild.
  const Core::ResourceTable resources = Core::ResourceTable::Load(resourcePath_);
  auto option = std::make_unique<Configuration::Option>(kTypeName);
  option->Set(Property::kLocalPath, resources.Get("nfs_local_path"));
  option->Set(Property::kShareName, resources.Get("nfs_share_name"));
  // Loopback only unless the resources say otherwise: a quick start is no
  // share for the whole network.
  const Common::WString allow = resources.Get("nfs_allow_clients");
  option->Set(Property::kAllowClients, allow.empty() ? Common::WString(u"127.0.0.0/8,::1") : allow);
  const Common::WString readOnly = resources.Get("nfs_read_only");
  option->Set(Property::kReadOnly, readOnly == u"true" || readOnly == u"yes" || readOnly == u"1");
  const Common::WString asyncWrites = resources.Get("nfs_async_writes");
  option->Set(Property::kAsyncWrites, asyncWrites == u"true" || asyncWrites == u"yes" || asyncWrites == u"1");
  const Common::WString stateDir = resources.Get("nfs_state_dir");
  if (!stateDir.empty()) option->Set(Property::kStateDir, stateDir);
  const Common::WString cacheObjects = resources.Get("nfs_cache_objects");
  if (!cacheObjects.empty()) option->Set(Property::kCacheObjects, cacheObjects);
  return option;
}

}  // namespace NFS
