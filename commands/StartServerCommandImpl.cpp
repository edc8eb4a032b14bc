#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "commands/Commands.h"
#include "control_lib/server/ServerControlComponent.h"
#include "host/Logging.h"
#include "host/Network.h"
#include "localfs/LocalFs.h"
#include "server_lib/core/ServerErrors.h"
#include "server_lib/store/ObjectStore.h"

namespace NFS {

namespace {

constexpr uint32_t kCommandChannel = 610;
const Common::Message kMountingLocalPath{0x18230010, "Mounting local path '{0}' as NFS share '{1}'."};

const Common::Message kShareNameRule{0x18230011, "The specified share name '{0}' is invalid: {1}"};
const Common::Message kAllowClientsInvalid{0x18230012, "The list of allowed clients '{0}' is invalid: {1}."};
const Common::Message kListenInvalid{0x18230013, "The listen address '{0}' is not an IPv4 or IPv6 address."};
const Common::Message kPortInvalid{0x18230014, "The port {0} is not a number from 1 to 65535."};
const Common::Message kCacheObjectsInvalid{0x18230015,
                                           "The cache size {0} is invalid: give at least {1} objects, or 0 for no limit."};
const Common::Message kNoStateDir{0x18230016,
                                  "No folder for the server's state: set XDG_STATE_HOME or HOME, or give --state-dir."};
const Common::Message kNoObjectStore{
    0x18230017,
    "Handles will not outlive this process: no store of ids in '{0}' ({1}). Objects the cache lets go are then "
    "stale to clients; give a usable --state-dir."};
const Common::Message kUsingObjectStore{0x18230018, "Handles are remembered in '{0}'; the cache holds {1} objects."};

// Enough for a deep walk and the listings under way; below this a cache
// would spend its time resolving through the store.
constexpr uint64_t kLeastCacheObjects = 64;
// About 64 MiB of cached objects, at roughly 600 bytes each.
constexpr uint64_t kDefaultCacheObjects = 100000;

void ThrowIfFailed(const Common::Error& result) {
  if (result.IsFailure()) throw result;
}

// A share name becomes the first part of every object path, which is split
// at "/" (the root has no parent only while that split is unambiguous).
// Names that could be read two ways are refused, with the rule they break.
void CheckShareNameShape(const Common::WString& shareName) {
  const char* broken = nullptr;
  if (Common::ToUtf8(shareName).size() > 255) {
    broken = "it is longer than 255 bytes.";
  } else if (shareName.find(u'\\') != Common::WString::npos) {
    broken = "it contains a backslash.";
  } else {
    const size_t first = shareName.front() == u'/' ? 1 : 0;
    for (size_t begin = first;;) {
      const size_t end = std::min(shareName.find(u'/', begin), shareName.size());
      const Common::WStringView part(shareName.data() + begin, end - begin);
      if (part.empty()) {
        broken = "it has an empty component (\"//\" or a trailing \"/\").";
      } else if (part == u"." || part == u"..") {
        broken = "it has a \".\" or \"..\" component.";
      }
      if (broken != nullptr || end == shareName.size()) break;
      begin = end + 1;
    }
  }
  if (broken != nullptr) {
    throw Common::Error(ErrorCode::InvalidArgument, Common::FormatMessage(kShareNameRule, shareName, broken));
  }
}

// Where to listen and who may call, from the request's optional fields:
// without them, every interface, port 2029 (or any), loopback clients only
// and a writable export.
NSL::NetworkOptions NetworkOptionsOf(const Core::Record& request) {
  NSL::NetworkOptions options;
  if (request.Has(Property::kAllowClients)) {
    const std::string text = Common::ToUtf8(request.Get<Common::WString>(Property::kAllowClients));
    std::string why;
    if (!Host::ClientNetworks::Parse(text, options.access.allowClients, why)) {
      throw Common::Error(ErrorCode::InvalidArgument, Common::FormatMessage(kAllowClientsInvalid, text, why));
    }
  }
  options.access.readOnly = request.GetOr<bool>(Property::kReadOnly, false);
  options.asyncWrites = request.GetOr<bool>(Property::kAsyncWrites, false);
  options.listenAddress = Common::ToUtf8(request.GetOr<Common::WString>(Property::kListen, {}));
  Host::IpNetwork literal;
  if (!options.listenAddress.empty() && !Host::ParseIpAddress(options.listenAddress, literal)) {
    throw Common::Error(ErrorCode::InvalidArgument, Common::FormatMessage(kListenInvalid, options.listenAddress));
  }
  const uint64_t port = request.GetOr<uint64_t>(Property::kPort, 0);
  if (port > 65535) throw Common::Error(ErrorCode::InvalidArgument, Common::FormatMessage(kPortInvalid, port));
  options.port = static_cast<uint16_t>(port);
  return options;
}

// $XDG_STATE_HOME/nfs_host, else ~/.local/state/nfs_host.
std::string DefaultStateDir() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/nfs_host";
  const char* home = std::getenv("HOME");
  std::string base = home != nullptr && home[0] == '/' ? home : "";
  if (base.empty()) {
    if (const passwd* user = getpwuid(geteuid()); user != nullptr && user->pw_dir != nullptr) base = user->pw_dir;
  }
  if (base.empty()) return {};
  return base + "/.local/state/nfs_host";
}

// The store named by the request, or the default one. A folder given on
// purpose that cannot hold a store stops the start; the default one only
// costs the handles their life beyond the process.
void SetUpObjectStore(const Core::Record& request, ServerControl& control) {
  const uint64_t capacity = request.GetOr<uint64_t>(Property::kCacheObjects, kDefaultCacheObjects);
  if (capacity != 0 && capacity < kLeastCacheObjects) {
    throw Common::Error(ErrorCode::InvalidArgument,
                        Common::FormatMessage(kCacheObjectsInvalid, capacity, kLeastCacheObjects));
  }
  const bool given = request.Has(Property::kStateDir) && !request.Get<Common::WString>(Property::kStateDir).empty();
  const std::string folder =
      given ? Common::ToUtf8(request.Get<Common::WString>(Property::kStateDir)) : DefaultStateDir();
  std::shared_ptr<ObjectStore> store;
  Common::Error opened = Common::Error::Success();
  if (folder.empty()) {
    opened = Common::Error(ErrorCode::InvalidArgument, Common::FormatMessage(kNoStateDir));
  } else {
    opened = OpenObjectStore(folder, store);
  }
  if (opened.IsFailure()) {
    if (given) throw opened;
    Common::Warning(kCommandChannel, kNoObjectStore, folder, opened.Describe());
    store = nullptr;
  } else {
    Common::Notice(kCommandChannel, kUsingObjectStore, folder, capacity);
  }
  ThrowIfFailed(control.SetObjectStore(std::move(store), static_cast<size_t>(capacity)));
}

}  // namespace

Core::Record StartServerCommandImpl::RunLogic(const Core::Record& request, Core::HostContext& context) {
  try {
    const Common::WString localPath = request.GetOr<Common::WString>(Property::kLocalPath, {});
    const Common::WString shareName = request.GetOr<Common::WString>(Property::kShareName, {});
    if (localPath.empty()) {
      throw Common::Error(ErrorCode::InvalidArgument, Common::FormatMessage(Messages::LocalPathInvalidArgument));
    }
    if (shareName.empty()) {
      throw Common::Error(ErrorCode::InvalidArgument, Common::FormatMessage(Messages::ShareNameInvalidArgument));
    }
    CheckShareNameShape(shareName);
    const NSL::NetworkOptions options = NetworkOptionsOf(request);
    auto control = context.components->Get<ServerControl>(kServerControlComponentId, kServerControlInterfaceName);
    ThrowIfFailed(control->SetNetworkOptions(options));
    SetUpObjectStore(request, *control);
    const Common::Error started = control->Start();
    if (started.IsFailure() && !Common::ContainsCode(started, ErrorCode::AlreadyStarted)) throw started;
    Common::Notice(kCommandChannel, kMountingLocalPath, localPath, shareName);
    ThrowIfFailed(LocalFs::EnsureLocalDirectory(Common::ToUtf8(localPath)));
    ThrowIfFailed(control->SetRoot(localPath, shareName));
    return Core::Record(CommandNames::StartServer.responseType);
  } catch (const Common::Error& error) {
    throw Common::Error(ErrorCode::StartServerFailed, Common::FormatMessage(Messages::StartServerFailed), error);
  }
}

}  // namespace NFS
