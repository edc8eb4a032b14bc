#include "control_lib/server/CompositeVirtualFilePluginImpl.h"

#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"

namespace NFS {

namespace {

[[noreturn]] void ThrowLoadingFailed(const Common::Error& cause) {
  throw Common::Error(ErrorCode::NoPlugin, Common::FormatMessage(Messages::PluginLoadingFailed), cause);
}

}  // namespace

CompositeVirtualFilePluginImpl::CompositeVirtualFilePluginImpl() {
  try {
    Core::AddonBrowser::Initialize(browser_);
  } catch (const Common::Error& error) {
    ThrowLoadingFailed(error);
  }
  plugins_.clear();
  if (!browser_) return;
  try {
    Core::AddonTypeFilter<VirtualFilePlugin> filter(*this);
    browser_->Visit(filter);
  } catch (const Common::Error& error) {
    ThrowLoadingFailed(error);
  }
}

void CompositeVirtualFilePluginImpl::Handle(VirtualFilePlugin& plugin) {
  Common::Notice(kLogChannel, Messages::LoadingPlugin, plugin.GetName());
  plugins_.push_back(&plugin);
}

void CompositeVirtualFilePluginImpl::SetContext(void* context) {
  for (VirtualFilePlugin* plugin : plugins_) plugin->SetContext(context);
}

Common::WString CompositeVirtualFilePluginImpl::GetName() {
  Common::WString name = u"Composition:";
  for (VirtualFilePlugin* plugin : plugins_) name += u" " + plugin->GetName();
  return name;
}

VirtualFilePlugin* CompositeVirtualFilePluginImpl::Find(const Common::WString& uri) {
  for (VirtualFilePlugin* plugin : plugins_) {
    if (plugin->CanOpen(uri)) return plugin;
  }
  return nullptr;
}

bool CompositeVirtualFilePluginImpl::CanOpen(const Common::WString& uri) { return Find(uri) != nullptr; }

Common::Error CompositeVirtualFilePluginImpl::OpenFile(const Common::WString& uri, const SourceParams& params,
                                                       std::unique_ptr<LocalFs::LocalFileHandle>& content) {
  if (VirtualFilePlugin* plugin = Find(uri)) return plugin->OpenFile(uri, params, content);
  return Common::Error(ErrorCode::NoPlugin, Common::FormatMessage(Messages::NoPluginForUri, uri));
}

}  // namespace NFS
