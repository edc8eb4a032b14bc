// The service host: loads the modules, creates their components, starts the
// NFS server through its StartServer command and serves until SIGINT or
// SIGTERM.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "app/ControlChannel.h"
#include "app/HostSettings.h"
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

// How the host was started: its command line, and the file it reads (again
// on SIGHUP).
struct Invocation {
  Host::HostSettings commandLine;
  std::optional<std::string> configPath;
};

void PrintHelp(const char* program) {
  std::printf(
      "Usage: %s [options]\n"
      "\n"
      "Starts the service host: loads every module in the modules folder, creates\n"
      "their components, exports a local folder over NFS version 3 (MOUNT and NFS\n"
      "on TCP port 2029, or a port published through rpcbind when 2029 is taken)\n"
      "and serves until SIGINT or SIGTERM. SIGHUP reads the configuration file\n"
      "again.\n"
      "\n"
      "Options:\n"
      "  --config PATH       read the settings below from this file, one 'key = value'\n"
      "                      line each, by the option's name without '--' (default:\n"
      "                      %s when it exists); options given here\n"
      "                      override the file, which overrides the module's resources\n"
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
      "  --log-file PATH     also append the log lines to this file (opened again\n"
      "                      on SIGHUP, for logrotate)\n"
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
      "--log-level=warning. In the file, switches take yes or no: read-only = yes.\n"
      "On SIGHUP, allow-clients, read-only, log-level and log-file apply at once;\n"
      "the others are logged as needing a restart.\n"
      "\n"
      "Subcommands:\n"
      "  %s call COMMAND [Property=Value ...]   send a host command to a running host\n"
      "  %s nfs ls|stat|cat|put URL [FILE]      a small NFS client (see '%s nfs --help')\n"
      "  %s status [--json]                     a running host's export and connections\n"
      "  %s stats [--json] [--interval S]       calls, failures and latency (see '%s stats --help')\n"
      "  %s watch [--json]                      print files created and deleted as they happen\n",
      program, Host::kDefaultConfigPath, Host::DefaultControlSocketPath().c_str(), program, program, program,
      program, program, program, program);
}

// Nothing to go on, else the exit status: 0 after --help or --version, 2 on a usage error.
std::optional<int> ParseFlags(int argc, char** argv, Invocation& invocation) {
  std::vector<Tools::Option> options;
  for (const auto& key : Host::SettingKeys()) {
    const std::string name = key.name;
    if (key.isSwitch) {
      options.push_back(Tools::Switch(name, [&invocation, name] {
        std::string ignored;
        invocation.commandLine.Set(name, "yes", ignored);
      }));
    } else {
      options.push_back(Tools::Value(name, key.value, [&invocation, name](const std::string& value, std::string& problem) {
        if (invocation.commandLine.Set(name, value, problem)) return true;
        problem = "--" + name + " " + problem;
        return false;
      }));
    }
  }
  options.push_back(Tools::Value("config", "a path", [&invocation](const std::string& value, std::string&) {
    invocation.configPath = value;
    return true;
  }));
  const Tools::CommandLine commandLine{"nfs_host", std::move(options), [&] { PrintHelp(argv[0]); }};
  return Tools::Parse(commandLine, argc, argv).exitStatus;
}

// The settings in force: the command line over the configuration file.
// `source` names the file read, empty when there is none.
bool LoadSettings(const Invocation& invocation, Host::HostSettings& settings, std::string& source,
                  std::string& error) {
  source.clear();
  if (invocation.configPath) {
    source = *invocation.configPath;
  } else {
    std::error_code ignored;
    if (std::filesystem::exists(Host::kDefaultConfigPath, ignored)) source = Host::kDefaultConfigPath;
  }
  Host::HostSettings file;
  if (!source.empty() && !Host::ReadConfigFile(source, file, error)) return false;
  settings = invocation.commandLine.Over(file);
  return true;
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
const Common::Message kReloaded{0x100000E1, "Settings read again ({0})."};
const Common::Message kNotReloaded{0x100000E2, "The settings were not read again, the running ones stay: {0}"};
const Common::Message kNeedsRestart{0x100000E3,
                                    "'{0}' changed from '{1}' to '{2}': that takes a restart of the host; until "
                                    "then '{1}' stays."};
const Common::Message kLogFileNotOpened{0x100000E4,
                                        "Cannot open the log file '{0}': the log goes to standard error only."};

void PrintFailure(const char* what, const Common::Error& error) {
  Common::PrintToStderr(Common::kFailure, std::string(what) + ":\n" + error.Describe());
}

// Standard error, and the log file when one is set. False when the file
// cannot be opened; the log then goes to standard error alone.
bool SetLogSinks(const std::optional<std::string>& logFile) {
  if (!logFile) {
    Common::Logger::SetSink(nullptr);
    return true;
  }
  auto file = Common::CreateFileLogSink(*logFile);
  Common::Logger::SetSink(file ? Common::CreateTeeLogSink(Common::CreateStderrLogSink(), file) : nullptr);
  return file != nullptr;
}

int LogLevelOf(const Host::HostSettings& settings) {
  return static_cast<int>(settings.Number("log-level").value_or(Common::kNotice));
}

// The NFS module's defaults (its resources), for the properties the
// settings leave unset.
Core::Record ModuleDefaults(Core::AddonRegistry& addons, Core::HostContext& context) {
  Core::Record defaults(NFS::CommandNames::StartServer.requestType);
  for (const auto& addon : addons.Find<Configuration::OptionAddon>()) {
    auto provider = addon->CreateProvider(&context);
    if (Common::ToUtf8(provider->GetName()) != NFS::kOptionsName) continue;
    try {
      auto values = provider->GetDefaultValue();
      defaults.Set(Property::kLocalPath, values->GetOr<Common::WString>(Property::kLocalPath, {}));
      defaults.Set(Property::kShareName, values->GetOr<Common::WString>(Property::kShareName, {}));
      for (const char* name : {Property::kAllowClients, Property::kStateDir, Property::kCacheObjects}) {
        if (values->Has(name)) defaults.Set(name, values->Get<Common::WString>(name));
      }
      defaults.Set(Property::kReadOnly, values->GetOr<bool>(Property::kReadOnly, false));
      defaults.Set(Property::kAsyncWrites, values->GetOr<bool>(Property::kAsyncWrites, false));
    } catch (const Common::Error& error) {
      PrintFailure("Cannot read the NFS options", error);
    }
  }
  return defaults;
}

// Who may call and whether they may change anything: the settings, else the
// module's defaults.
void SetAccessOf(const Host::HostSettings& settings, const Core::Record& defaults, Core::Record& request) {
  if (const auto list = settings.Text("allow-clients")) {
    request.Set(Property::kAllowClients, Common::FromUtf8(*list));
  } else if (defaults.Has(Property::kAllowClients)) {
    request.Set(Property::kAllowClients, defaults.Get<Common::WString>(Property::kAllowClients));
  }
  request.Set(Property::kReadOnly, settings.Flag("read-only").value_or(defaults.GetOr<bool>(Property::kReadOnly, false)));
}

// The start request; a usage problem (exit 2) in `problem`.
bool StartRequestOf(const Host::HostSettings& settings, const Core::Record& defaults, Core::Record& request,
                    std::string& problem) {
  const auto text = [&](const char* key, const char* property) {
    if (const auto value = settings.Text(key)) {
      request.Set(property, Common::FromUtf8(*value));
    } else if (defaults.Has(property)) {
      request.Set(property, defaults.Get<Common::WString>(property));
    }
  };
  text("local-path", Property::kLocalPath);
  text("share-name", Property::kShareName);
  text("state-dir", Property::kStateDir);
  if (const auto listen = settings.Text("listen")) request.Set(Property::kListen, Common::FromUtf8(*listen));
  SetAccessOf(settings, defaults, request);
  request.Set(Property::kAsyncWrites,
              settings.Flag("async-writes").value_or(defaults.GetOr<bool>(Property::kAsyncWrites, false)));
  if (const auto port = settings.Number("port")) request.Set(Property::kPort, *port);
  if (const auto count = settings.Number("cache-objects")) {
    request.Set(Property::kCacheObjects, *count);
  } else if (defaults.Has(Property::kCacheObjects)) {
    const std::string resource = Common::ToUtf8(defaults.Get<Common::WString>(Property::kCacheObjects));
    uint64_t parsed = 0;
    if (!Tools::ParseNumber(resource, 0, UINT64_MAX, parsed)) {
      problem = "nfs_cache_objects '" + resource + "': give a number of objects";
      return false;
    }
    request.Set(Property::kCacheObjects, parsed);
  }
  // A list that does not parse is a usage error wherever it came from: say
  // which entry, before anything starts.
  if (request.Has(Property::kAllowClients)) {
    const std::string list = Common::ToUtf8(request.Get<Common::WString>(Property::kAllowClients));
    Host::ClientNetworks networks;
    std::string why;
    if (!Host::ClientNetworks::Parse(list, networks, why)) {
      problem = "--allow-clients '" + list + "': " + why;
      return false;
    }
  }
  return true;
}

// SIGHUP: the file is read again. The log and who may do what change at
// once; what the running server was built with stays until a restart, and
// the log says so. A file that does not read changes nothing.
void Reload(const Invocation& invocation, const Host::HostSettings& started, Core::AddonRegistry& addons,
            Core::HostContext& context, Core::CommandRunner& commands) {
  Host::HostSettings settings;
  std::string source;
  std::string error;
  if (!LoadSettings(invocation, settings, source, error)) {
    Common::Warning(kHostChannel, kNotReloaded, error);
    return;
  }
  Common::Logger::SetThreshold(LogLevelOf(settings));
  if (!SetLogSinks(settings.Text("log-file"))) {
    Common::Warning(kHostChannel, kLogFileNotOpened, *settings.Text("log-file"));
  }
  Core::Record access(NFS::CommandNames::SetAccess.requestType);
  SetAccessOf(settings, ModuleDefaults(addons, context), access);
  try {
    commands.Run(NFS::CommandNames::SetAccess.commandName, access).get();
  } catch (const Common::Error& refused) {
    Common::Log(Common::kFailure, kHostChannel, refused);
  }
  for (const auto& name : settings.ChangedFrom(started)) {
    if (!Host::FindSettingKey(name)->needsRestart) continue;
    Common::Warning(kHostChannel, kNeedsRestart, name, started.Text(name).value_or("(default)"),
                    settings.Text(name).value_or("(default)"));
  }
  Common::Notice(kHostChannel, kReloaded, source.empty() ? std::string("no configuration file") : source);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "call") return Tools::RunCall(argc - 1, argv + 1);
  if (argc > 1 && std::string(argv[1]) == "nfs") return Tools::RunNfsClient(argc - 1, argv + 1);
  if (argc > 1 && std::string(argv[1]) == "status") return Tools::RunStatus(argc - 1, argv + 1);
  if (argc > 1 && std::string(argv[1]) == "stats") return Tools::RunStats(argc - 1, argv + 1);
  if (argc > 1 && std::string(argv[1]) == "watch") return Tools::RunWatch(argc - 1, argv + 1);
  // Signals are taken by sigwait below; every thread inherits this mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Invocation invocation;
  if (const auto status = ParseFlags(argc, argv, invocation)) return *status;
  Host::HostSettings settings;
  {
    std::string source;
    std::string error;
    if (!LoadSettings(invocation, settings, source, error)) {
      Common::PrintToStderr(Common::kFailure, "nfs_host: " + error);
      return 2;
    }
  }
  // Every cached directory holds a descriptor; allow as many as the system does.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  const std::string modules = settings.Text("modules").value_or(DefaultModulesFolder());
  const std::string controlSocket = settings.Text("control-socket").value_or(Host::DefaultControlSocketPath());
  Common::Logger::SetThreshold(LogLevelOf(settings));
  if (!SetLogSinks(settings.Text("log-file"))) {
    Common::PrintToStderr(Common::kFailure, "Cannot open the log file '" + *settings.Text("log-file") + "'");
    return 2;
  }

  try {
    Host::PrepareSocketFolder(controlSocket);
  } catch (const Common::Error& error) {
    PrintFailure("Cannot open the control channel", error);
    return 1;
  }

  Core::AddonRegistry& addons = Core::AddonRegistry::Instance();
  ComponentManagement::ComponentRegistry components;
  Core::HostContext context{&components};
  try {
    Core::LoadModules(modules, addons);
    components.CollectFrom(addons);
  } catch (const Common::Error& error) {
    PrintFailure("Cannot start the service host", error);
    return 1;
  }
  for (const auto& component : components.All()) component->SetContext(&context);

  Core::Record request(NFS::CommandNames::StartServer.requestType);
  {
    std::string problem;
    if (!StartRequestOf(settings, ModuleDefaults(addons, context), request, problem)) {
      Common::PrintToStderr(Common::kFailure, problem);
      components.ShutdownAll();
      return 2;
    }
  }
  if (geteuid() == 0) Common::Warning(kHostChannel, kRunningAsRoot);

  Core::CommandRunner commands(addons, context);
  // Bound before anything is exported: a taken port stops the start-up.
  std::unique_ptr<Host::MetricsServer> metrics;
  if (const auto metricsListen = settings.Text("metrics-listen")) {
    Host::ListenAddress address;
    std::string why;
    Host::ParseListenAddress(*metricsListen, address, why);
    metrics = Host::CreateMetricsServer(commands, address, NFS::CommandNames::GetMetrics.commandName,
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
  Host::ControlChannel channel(commands, *streams, controlSocket);
  try {
    channel.Start();
  } catch (const Common::Error& error) {
    PrintFailure("Cannot open the control channel", error);
    components.ShutdownAll();
    return 1;
  }
  const std::string serving =
      Host::ServingSummary(commands, Common::ToUtf8(request.GetOr<Common::WString>(Property::kLocalPath, {})),
                           Common::ToUtf8(request.GetOr<Common::WString>(Property::kShareName, {})));
  Host::NotifyReady(serving);
  std::printf("Control channel: %s\n", controlSocket.c_str());
  std::printf("Serving '%s' as '%s'. Stop with Ctrl-C or SIGTERM.\n",
              Common::ToUtf8(request.GetOr<Common::WString>(Property::kLocalPath, {})).c_str(),
              Common::ToUtf8(request.GetOr<Common::WString>(Property::kShareName, {})).c_str());
  std::fflush(stdout);

  for (;;) {
    int received = 0;
    sigwait(&signals, &received);
    if (received != SIGHUP) break;
    // systemd's reload waits for the READY=1 that ends it.
    Host::NotifyReloading();
    Reload(invocation, settings, addons, context, commands);
    Host::NotifyReady(serving);
  }
  Host::NotifyStopping();
  // Requests end before the components do: a command run on the way out
  // could otherwise start the network service again.
  if (metrics) metrics->Stop();
  channel.Stop();
  components.ShutdownAll();
  components.Clear();
  return 0;
}
