#include "commands/Commands.h"
#include "control_lib/server/ServerControlComponent.h"

namespace NFS {

namespace {

std::shared_ptr<ServerControl> Control(Core::HostContext& context) {
  return context.components->Get<ServerControl>(kServerControlComponentId, kServerControlInterfaceName);
}

void ThrowIfFailed(const Common::Error& result) {
  if (result.IsFailure()) throw result;
}

}  // namespace

void SplitFilePath(const Common::WString& path, Common::WString& folder, Common::WString& name) {
  const size_t slash = path.rfind(u'/');
  if (slash == Common::WString::npos) {
    folder.clear();
    name = path;
    return;
  }
  folder = slash == 0 ? Common::WString() : path.substr(0, slash);
  name = path.substr(slash + 1);
}

Core::Record CreateVirtualFileCommandImpl::RunLogic(const Core::Record& request, Core::HostContext& context) {
  auto control = Control(context);
  const Common::WString uri = request.Get<Common::WString>(Property::kSourceUri);
  const Common::WString path = request.Get<Common::WString>(Property::kNetworkPath);
  const uint64_t size = request.Get<uint64_t>(Property::kSize);
  ThrowIfFailed(control->AddVirtualFile(path, size, uri, SourceParams{}));
  return Core::Record(CommandNames::CreateVirtualFile.responseType);
}

Core::Record DeleteVirtualFileCommandImpl::RunLogic(const Core::Record& request, Core::HostContext& context) {
  auto control = Control(context);
  ThrowIfFailed(control->DeleteVirtualFile(request.Get<Common::WString>(Property::kNetworkPath)));
  return Core::Record(CommandNames::DeleteVirtualFile.responseType);
}

Core::Record ControlVirtualFileCommandImpl::RunLogic(const Core::Record& request, Core::HostContext& context) {
  auto control = Control(context);
  std::vector<uint8_t> blob = request.Get<Core::Blob>(Property::kBlob);
  const Common::WString path = request.Get<Common::WString>(Property::kNetworkPath);
  ThrowIfFailed(control->ControlVirtualFile(path, blob));
  return Core::Record(CommandNames::ControlVirtualFile.responseType);
}

Core::Record FileExistsCommandImpl::RunLogic(const Core::Record& request, Core::HostContext& context) {
  auto control = Control(context);
  ShareFilePath path;
  path.Share = request.GetOr<Common::WString>(Property::kShareName, {});
  if (request.Has(Property::kFilePath)) {
    SplitFilePath(request.Get<Common::WString>(Property::kFilePath), path.Folder, path.Name);
  }
  bool exists = false;
  ThrowIfFailed(control->FileExists(path, exists));
  Core::Record response(CommandNames::FileExists.responseType);
  response.Set("Exists", exists);
  return response;
}

}  // namespace NFS
