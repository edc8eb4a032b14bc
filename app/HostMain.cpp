// The service host: loads the modules, creates their components, starts the
// NFS server through its StartServer command and serves until SIGINT or
// SIGTERM.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

#include "app/ControlChannel.h"
#include "app/MetricsServer.h"
#include "app/SystemdNotify.h"
#include "commands/Names.h"
#include "host/Commands.h"
#include "host/Components.h"
#include "host/Configuration.h"
#include "host/Logging.h"
#include "host/Modules.h"
#include "host/Network.h"
#include "host/Resources.h"
#include "host/Streams.h"
#include "tools/CallCommand.h"
#include "tools/CommandLine.h"
#include "tools/ControlProtocol.h"
#include "tools/NfsClient.h"
#include "tools/StatsCommand.h"
#include "tools/StatusCommand.h"
#include "tools/WatchCommand.h"

namespace {

namespace Property = NFS::Property;

struct Flags {
  std::string modules;
  std::optional<std::string> localPath;
  std::optional<std::string> shareName;
  int logLevel = Common::kNotice;
  std::string logFile;
  std::string controlSocket = Host::DefaultControlSocketPath();
  std::optional<Host::ListenAddress> metrics;
  std::optional<std::string> allowClients;
  bool readOnly = false;
  bool asyncWrites = false;
  std::string listen;
  uint16_t port = 0;
  std::optional<std::string> stateDir;
  std::optional<std::string> cacheObjects;
};

// A count of objects: digits only, 0 included.
bool ParseCount(const std::string& text, uint64_t& count) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
  return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

void PrintHelp(const char* program) {
  std::printf(
      "Usage: %s [options]\n"
      "\n"
      "Starts the service host: loads every module in the modules folder, creates\n"
      "their components, exports a local folder over NFS version 3 (MOUNT and NFS\n"
      "on TCP port 2029, or a port published through rpcbind when 2029 is taken)\n"
      "and serves until SIGINT or SIGTERM.\n"
      "\n"
      "Options:\n"
      "  --local-path PATH   folder to export; created with its parents when missing\n"
      "                      (default from the NFS module's resources: NFSStorage)\n"
      "  --share-name NAME   name clients mount, for example /share (default: /share)\n"
      "  --allow-clients LIST\n"
      "                      who may mount and use the share: IPv4 and IPv6 networks,\n"
      "                      comma-separated (192.168.1.0/24,10.1.2.3,fd00::/8), or *\n"
      "                      for every client (default from the NFS module's\n"
      "                      resources: 127.0.0.0/8,::1, this machine only)\n"
      "  --read-only         clients may read but change nothing\n"
      "  --async-writes      answer writes before they reach the disk (an unstable\n"
      "                      write as if it had), as the kernel server's async\n"
      "                      export option does: faster, but a crash of this machine\n"
      "                      may lose data clients were told is safe\n"
      "  --state-dir DIR     where the ids of files and folders clients were given are\n"
      "                      remembered, so that their handles outlive a restart\n"
      "                      (default: $XDG_STATE_HOME/nfs_host, or\n"
      "                      ~/.local/state/nfs_host)\n"
      "  --cache-objects N   files and folders held in memory, the least recently\n"
      "                      used let go first (default 100000, about 64 MiB;\n"
      "                      0: no limit)\n"
      "  --listen ADDR       the IPv4 or IPv6 address to listen on (default: every\n"
      "                      interface, both families)\n"
      "  --port N            listen on this port, or stop when it is taken (default:\n"
      "                      2029, or a port published through rpcbind when taken)\n"
      "  --modules DIR       folder of the modules to load (default: ../modules or\n"
      "                      ../lib/nfs_host/modules beside this program)\n"
      "  --log-level LEVEL   lowest level written to standard error: 1 or trace,\n"
      "                      2 or notice (default), 3 or warning, 4 or failure\n"
      "  --log-file PATH     also append the log lines to this file\n"
      "  --control-socket PATH\n"
      "                      the local socket for host commands, created owner-only\n"
      "                      and removed at exit (default $XDG_RUNTIME_DIR/nfs_host.sock,\n"
      "                      or without XDG_RUNTIME_DIR nfs_host.sock in the folder\n"
      "                      /tmp/nfs_host-UID, which the host creates with mode 0700\n"
      "                      and refuses unless it is a real folder of its user that\n"
      "                      no other user may write to; here: %s)\n"
      "  --metrics-listen ADDR:PORT\n"
      "                      serve Prometheus metrics at http://ADDR:PORT/metrics, for\n"
      "                      example 127.0.0.1:9587 (off unless given)\n"
      "  --help              this text\n"
      "  --version           the version of this program\n"
      "\n"
      "Options take their value as the next word or after '=': --log-level 3 or\n"
      "--log-level=warning.\n"
      "\n"
      "Subcommands:\n"
      "  %s call COMMAND [Property=Value ...]   send a host command to a running host\n"
      "  %s nfs ls|stat|cat|put URL [FILE]      a small NFS client (see '%s nfs --help')\n"
      "  %s status [--json]                     a running host's export and connections\n"
      "  %s stats [--json] [--interval S]       calls, failures and latency (see '%s stats --help')\n"
      "  %s watch [--json]                      print files created and deleted as they happen\n",
      program, Host::DefaultControlSocketPath().c_str(), program, program, program, program, program, program,
      program);
}

// "2" or "notice": the names the log lines carry.
bool ParseLogLevel(const std::string& text, int& level) {
  static const std::pair<const char*, int> kNames[] = {{"trace", Common::kTrace},
                                                       {"notice", Common::kNotice},
                                                       {"warning", Common::kWarning},
                                                       {"failure", Common::kFailure}};
  for (const auto& [name, value] : kNames) {
    if (text == name) {
      level = value;
      return true;
    }
  }
  uint64_t number = 0;
  if (!Tools::ParseNumber(text, Common::kTrace, Common::kFailure, number)) return false;
  level = static_cast<int>(number);
  return true;
}

// Nothing to go on, else the exit status: 0 after --help or --version, 2 on a usage error.
std::optional<int> ParseFlags(int argc, char** argv, Flags& flags) {
  using Tools::Switch;
  using Tools::Value;
  // Takes the value as it is into `to`.
  const auto text = [](auto& to) {
    return [&to](const std::string& value, std::string&) {
      to = value;
      return true;
    };
  };
  const auto metrics = [&](const std::string& value, std::string& problem) {
    Host::ListenAddress address;
    std::string why;
    if (!Host::ParseListenAddress(value, address, why)) {
      problem = "--metrics-listen '" + value + "': " + why;
      return false;
    }
    flags.metrics = address;
    return true;
  };
  const auto cacheObjects = [&](const std::string& value, std::string& problem) {
    uint64_t count = 0;
    if (!ParseCount(value, count)) {
      problem = "--cache-objects '" + value + "': give a number of objects";
      return false;
    }
    flags.cacheObjects = value;
    return true;
  };
  const auto listen = [&](const std::string& value, std::string& problem) {
    Host::IpNetwork literal;
    if (!Host::ParseIpAddress(value, literal)) {
      problem = "--listen '" + value + "': not an IPv4 or IPv6 address (host names are not taken)";
      return false;
    }
    flags.listen = value;
    return true;
  };
  const auto port = [&](const std::string& value, std::string& problem) {
    uint64_t number = 0;
    if (!Tools::ParseNumber(value, 1, 65535, number)) {
      problem = "--port '" + value + "': give a number from 1 to 65535";
      return false;
    }
    flags.port = static_cast<uint16_t>(number);
    return true;
  };
  const auto logLevel = [&](const std::string& value, std::string& problem) {
    if (!ParseLogLevel(value, flags.logLevel)) {
      problem = "--log-level '" + value + "': give 1 to 4, or trace, notice, warning or failure";
      return false;
    }
    return true;
  };
  const Tools::CommandLine commandLine{"nfs_host",
                                       {Value("local-path", "a folder", text(flags.localPath)),
                                        Value("share-name", "a name", text(flags.shareName)),
                                        Value("modules", "a folder", text(flags.modules)),
                                        Value("log-file", "a path", text(flags.logFile)),
                                        Value("control-socket", "a path", text(flags.controlSocket)),
                                        Value("metrics-listen", "ADDR:PORT", metrics),
                                        Value("allow-clients", "a list of networks", text(flags.allowClients)),
                                        Switch("read-only", [&] { flags.readOnly = true; }),
                                        Switch("async-writes", [&] { flags.asyncWrites = true; }),
                                        Value("state-dir", "a folder", text(flags.stateDir)),
                                        Value("cache-objects", "a number of objects", cacheObjects),
                                        Value("listen", "an IPv4 or IPv6 address", listen),
                                        Value("port", "a number from 1 to 65535", port),
                                        Value("log-level", "1 to 4, or trace, notice, warning or failure", logLevel)},
                                       [&] { PrintHelp(argv[0]); }};
  return Tools::Parse(commandLine, argc, argv).exitStatus;
}

// Beside the program in the build tree, or in the installed layout.
std::string DefaultModulesFolder() {
  static const int anchor = 0;
  const std::filesystem::path bin(Core::FolderOfCode(&anchor));
  const auto installed = (bin / ".." / "lib" / "nfs_host" / "modules").lexically_normal();
  const auto built = (bin / ".." / "modules").lexically_normal();
  std::error_code ignored;
  return (std::filesystem::is_directory(built, ignored) || !std::filesystem::is_directory(installed, ignored)
              ? built
              : installed)
      .string();
}

constexpr uint32_t kHostChannel = 256;
const Common::Message kRunningAsRoot{
    0x100000E0, "Running as root: every client then acts as root on the export (it may make files of any owner). "
                "Run the host as an unprivileged user that owns the exported folder."};

void PrintFailure(const char* what, const Common::Error& error) {
  Common::PrintToStderr(Common::kFailure, std::string(what) + ":\n" + error.Describe());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "call") return Tools::RunCall(argc - 1, argv + 1);
  if (argc > 1 && std::string(argv[1]) == "nfs") return Tools::RunNfsClient(argc - 1, argv + 1);
  if (argc > 1 && std::string(argv[1]) == "status") return Tools::RunStatus(argc - 1, argv + 1);
  if (argc > 1 && std::string(argv[1]) == "stats") return Tools::RunStats(argc - 1, argv + 1);
  if (argc > 1 && std::string(argv[1]) == "watch") return Tools::RunWatch(argc - 1, argv + 1);
  // Signals are taken by sigwait below; every thread inherits this mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Flags flags;
  if (const auto status = ParseFlags(argc, argv, flags)) return *status;
  // Every cached directory holds a descriptor; allow as many as the system does.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  if (flags.modules.empty()) flags.modules = DefaultModulesFolder();
  Common::Logger::SetThreshold(flags.logLevel);
  if (!flags.logFile.empty()) {
    auto file = Common::CreateFileLogSink(flags.logFile);
    if (!file) {
      std::fprintf(stderr, "Cannot open the log file '%s'\n", flags.logFile.c_str());
      return 2;
    }
    Common::Logger::SetSink(Common::CreateTeeLogSink(Common::CreateStderrLogSink(), file));
  }

  try {
    Host::PrepareSocketFolder(flags.controlSocket);
  } catch (const Common::Error& error) {
    PrintFailure("Cannot open the control channel", error);
    return 1;
  }

  Core::AddonRegistry& addons = Core::AddonRegistry::Instance();
  ComponentManagement::ComponentRegistry components;
  Core::HostContext context{&components};
  try {
    Core::LoadModules(flags.modules, addons);
    components.CollectFrom(addons);
  } catch (const Common::Error& error) {
    PrintFailure("Cannot start the service host", error);
    return 1;
  }
  for (const auto& component : components.All()) component->SetContext(&context);

  // The option set's defaults, overridden by the flags.
  Core::Record request(NFS::CommandNames::StartServer.requestType);
  for (const auto& addon : addons.Find<Configuration::OptionAddon>()) {
    auto provider = addon->CreateProvider(&context);
    if (Common::ToUtf8(provider->GetName()) != NFS::kOptionsName) continue;
    try {
      auto defaults = provider->GetDefaultValue();
      request.Set(Property::kLocalPath, defaults->GetOr<Common::WString>(Property::kLocalPath, {}));
      request.Set(Property::kShareName, defaults->GetOr<Common::WString>(Property::kShareName, {}));
      if (defaults->Has(Property::kAllowClients)) {
        request.Set(Property::kAllowClients, defaults->Get<Common::WString>(Property::kAllowClients));
      }
      request.Set(Property::kReadOnly, defaults->GetOr<bool>(Property::kReadOnly, false));
      request.Set(Property::kAsyncWrites, defaults->GetOr<bool>(Property::kAsyncWrites, false));
      if (defaults->Has(Property::kStateDir)) {
        request.Set(Property::kStateDir, defaults->Get<Common::WString>(Property::kStateDir));
      }
      if (defaults->Has(Property::kCacheObjects) && !flags.cacheObjects) {
        flags.cacheObjects = Common::ToUtf8(defaults->Get<Common::WString>(Property::kCacheObjects));
      }
    } catch (const Common::Error& error) {
      PrintFailure("Cannot read the NFS options", error);
    }
  }
  if (flags.localPath) request.Set(Property::kLocalPath, Common::FromUtf8(*flags.localPath));
  if (flags.shareName) request.Set(Property::kShareName, Common::FromUtf8(*flags.shareName));
  if (flags.allowClients) request.Set(Property::kAllowClients, Common::FromUtf8(*flags.allowClients));
  if (flags.readOnly) request.Set(Property::kReadOnly, true);
  if (flags.asyncWrites) request.Set(Property::kAsyncWrites, true);
  if (!flags.listen.empty()) request.Set(Property::kListen, Common::FromUtf8(flags.listen));
  if (flags.stateDir) request.Set(Property::kStateDir, Common::FromUtf8(*flags.stateDir));
  if (flags.cacheObjects) {
    uint64_t count = 0;
    if (!ParseCount(*flags.cacheObjects, count)) {
      std::fprintf(stderr, "nfs_cache_objects '%s': give a number of objects\n", flags.cacheObjects->c_str());
      components.ShutdownAll();
      return 2;
    }
    request.Set(Property::kCacheObjects, count);
  }
  if (flags.port != 0) request.Set(Property::kPort, static_cast<uint64_t>(flags.port));
  // A list that does not parse is a usage error, whether it came from a
  // flag or from the resources: say which entry, before anything starts.
  if (request.Has(Property::kAllowClients)) {
    const std::string list = Common::ToUtf8(request.Get<Common::WString>(Property::kAllowClients));
    Host::ClientNetworks networks;
    std::string why;
    if (!Host::ClientNetworks::Parse(list, networks, why)) {
      std::fprintf(stderr, "--allow-clients '%s': %s\n", list.c_str(), why.c_str());
      components.ShutdownAll();
      return 2;
    }
  }
  if (geteuid() == 0) Common::Warning(kHostChannel, kRunningAsRoot);

  Core::CommandRunner commands(addons, context);
  // Bound before anything is exported: a taken port stops the start-up.
  std::unique_ptr<Host::MetricsServer> metrics;
  if (flags.metrics) {
    metrics = Host::CreateMetricsServer(commands, *flags.metrics, NFS::CommandNames::GetMetrics.commandName,
                                        NFS::CommandNames::GetMetrics.requestType);
    try {
      metrics->Start();
    } catch (const Common::Error& error) {
      PrintFailure("Cannot serve metrics", error);
      components.ShutdownAll();
      return 1;
    }
  }
  try {
    commands.Run(NFS::CommandNames::StartServer.commandName, request).get();
  } catch (const Common::Error& error) {
    PrintFailure("Cannot start the NFS server", error);
    components.ShutdownAll();
    return 1;
  }
  const auto streams = Core::CreateStreams(addons, context);
  Host::ControlChannel channel(commands, *streams, flags.controlSocket);
  try {
    channel.Start();
  } catch (const Common::Error& error) {
    PrintFailure("Cannot open the control channel", error);
    components.ShutdownAll();
    return 1;
  }
  Host::NotifyReady(Host::ServingSummary(commands,
                                         Common::ToUtf8(request.GetOr<Common::WString>(Property::kLocalPath, {})),
                                         Common::ToUtf8(request.GetOr<Common::WString>(Property::kShareName, {}))));
  std::printf("Control channel: %s\n", flags.controlSocket.c_str());
  std::printf("Serving '%s' as '%s'. Stop with Ctrl-C or SIGTERM.\n",
              Common::ToUtf8(request.GetOr<Common::WString>(Property::kLocalPath, {})).c_str(),
              Common::ToUtf8(request.GetOr<Common::WString>(Property::kShareName, {})).c_str());
  std::fflush(stdout);

  int received = 0;
  sigwait(&stopSignals, &received);
  Host::NotifyStopping();
  // Requests end before the components do: a command run on the way out
  // could otherwise start the network service again.
  if (metrics) metrics->Stop();
  channel.Stop();
  components.ShutdownAll();
  components.Clear();
  return 0;
}
