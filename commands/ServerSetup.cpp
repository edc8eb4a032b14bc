#include "commands/ServerSetup.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "commands/Names.h"
#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"

namespace NFS {

namespace {

constexpr uint32_t kCommandChannel = 610;
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

}  // namespace

Host::ClientNetworks AllowedClientsOf(const Common::WString& list) {
  const std::string text = Common::ToUtf8(list);
  Host::ClientNetworks networks;
  std::string why;
  if (!Host::ClientNetworks::Parse(text, networks, why)) {
    throw Common::Error(ErrorCode::InvalidArgument, Common::FormatMessage(kAllowClientsInvalid, text, why));
  }
  return networks;
}

NSL::NetworkOptions NetworkOptionsOf(const Core::Record& request) {
  NSL::NetworkOptions options;
  if (request.Has(Property::kAllowClients)) {
    options.access.allowClients = AllowedClientsOf(request.Get<Common::WString>(Property::kAllowClients));
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


}  // namespace NFS
