#include "tools/StatusCommand.h"

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "commands/Names.h"
#include "tools/CommandLine.h"
#include "tools/ControlClient.h"
#include "tools/ControlProtocol.h"
#include "tools/HumanUnits.h"

namespace Tools {

namespace {


void PrintHelp() {
  std::printf(
      "Usage: nfs_host status [--json] [--control-socket PATH]\n"
      "\n"
      "Shows a running host's export: the share and its local folder, whether the\n"
      "server serves and on which port, whether the portmapper knows it, the client\n"
      "connections, the objects cached per share, how many client addresses have\n"
      "mounted it, the descriptors, listings and virtual files it holds and the\n"
      "event observers registered.\n"
      "\n"
      "Options:\n"
      "  --json               the host's document as it is\n"
      "  --control-socket PATH\n"
      "                       the host's control socket (default %s)\n"
      "  --help               this text\n"
      "  --version            the version of this program\n",
      Host::DefaultClientSocketPath().c_str());
}

// Values of a document from a host of another version may be missing or of
// another type: they show as 0 or empty rather than ending the program.
const nlohmann::json& Member(const nlohmann::json& object, const char* name) {
  static const nlohmann::json kNone;
  if (!object.is_object()) return kNone;
  const auto it = object.find(name);
  return it != object.end() ? *it : kNone;
}

uint64_t Number(const nlohmann::json& object, const char* name) {
  const nlohmann::json& value = Member(object, name);
  return value.is_number_unsigned() ? value.get<uint64_t>() : 0;
}

std::string Text(const nlohmann::json& object, const char* name) {
  const nlohmann::json& value = Member(object, name);
  return value.is_string() ? value.get<std::string>() : std::string();
}

bool Flag(const nlohmann::json& object, const char* name) {
  const nlohmann::json& value = Member(object, name);
  return value.is_boolean() && value.get<bool>();
}

void Line(const char* label, const std::string& text) { std::printf("%-13s%s\n", label, text.c_str()); }

std::string Plural(uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string Portmapper(const nlohmann::json& network) {
  const nlohmann::json& portmapper = Member(network, "portmapper");
  const std::string error = Text(portmapper, "error");
  if (!error.empty()) return "cannot be asked: " + error;
  const uint64_t port = Number(network, "port");
  const uint64_t mount = Number(portmapper, "mount_port");
  const uint64_t nfs = Number(portmapper, "nfs_port");
  if (Flag(portmapper, "registered")) return "MOUNT and NFS registered for port " + std::to_string(port);
  auto one = [&](const char* name, uint64_t registered) {
    return std::string(name) + (registered == 0 ? " not registered" : " registered for port " + std::to_string(registered));
  };
  return one("MOUNT", mount) + ", " + one("NFS", nfs) + (port != 0 ? " (this server: " + std::to_string(port) + ")" : "");
}

void Print(const nlohmann::json& status) {
  const nlohmann::json& share = Member(status, "share");
  const std::string name = Text(share, "name");
  Line("Share", name.empty() ? "none exported" : name);
  if (!name.empty()) Line("Local path", Text(share, "local_path"));
  const nlohmann::json& network = Member(status, "network");
  if (Flag(network, "serving")) {
    Line("Server", "serving on TCP port " + std::to_string(Number(network, "port")) + " for " +
                       FormatAge(Number(network, "serving_for_ns") / 1000000000ull));
  } else {
    Line("Server", "not serving");
  }
  if (Flag(network, "serving")) Line("Listening", Text(network, "listen"));
  Line("Portmapper", Portmapper(network));
  const nlohmann::json& access = Member(status, "access");
  const std::string allowed = Text(access, "allow_clients");
  Line("Clients", allowed == "*" ? std::string("every address (*)") : allowed);
  std::string mode = Flag(access, "read_only") ? "read-only" : "read and write";
  if (Flag(access, "async_writes")) mode += ", asynchronous writes (a crash may lose acknowledged data)";
  Line("Access", mode);
  const nlohmann::json& connections = Member(network, "connections");
  const uint64_t count = connections.is_array() ? connections.size() : 0;
  Line("Connections", std::to_string(count));
  if (connections.is_array()) {
    for (const auto& connection : connections) {
      std::printf("%-13s  %-40s for %s\n", "", Text(connection, "peer").c_str(),
                  FormatAge(Number(connection, "connected_for_seconds")).c_str());
    }
  }
  const nlohmann::json& cached = Member(status, "cached_objects");
  if (cached.is_array() && !cached.empty()) {
    bool first = true;
    for (const auto& entry : cached) {
      Line(first ? "Cached" : "", Plural(Number(entry, "objects"), "object", "objects") + " in " + Text(entry, "share"));
      first = false;
    }
  } else {
    Line("Cached", "nothing");
  }
  const nlohmann::json& cache = Member(status, "cache");
  const uint64_t capacity = Number(cache, "capacity");
  Line("Cache", (capacity == 0 ? std::string("no limit") : "at most " + Plural(capacity, "object", "objects")) +
                    "; " + std::to_string(Number(cache, "hits")) + " hits, " +
                    std::to_string(Number(cache, "resolved_from_store")) + " found again through the store, " +
                    std::to_string(Number(cache, "stale")) + " stale, " + std::to_string(Number(cache, "evicted")) +
                    " let go");
  const nlohmann::json& store = Member(status, "store");
  Line("Handle store", Flag(store, "open") ? Plural(Number(store, "ids"), "id", "ids") + " on disk"
                                            : std::string("none (handles do not outlive the process)"));
  Line("Mounted by", Plural(Number(status, "mounted_clients"), "client address", "client addresses"));
  const nlohmann::json& descriptors = Member(status, "descriptors");
  Line("Descriptors", std::to_string(Number(descriptors, "open")) + " open of " +
                          std::to_string(Number(descriptors, "limit")) + " (idle ones are closed beyond that)");
  const nlohmann::json& listings = Member(status, "listings");
  Line("Listings", std::to_string(Number(listings, "open")) + " open of " + std::to_string(Number(listings, "limit")) +
                       ", " + Plural(Number(listings, "enumerators_kept"), "enumerator", "enumerators") + " kept");
  const nlohmann::json& virtualFiles = Member(status, "virtual_files");
  Line("Virtual", Plural(Number(virtualFiles, "count"), "file", "files") + ", " +
                      FormatBytes(static_cast<double>(Number(virtualFiles, "bytes"))));
  Line("Observers", std::to_string(Number(status, "observers")));
}

}  // namespace

int RunStatus(int argc, char** argv) {
  bool json = false;
  std::string socketPath = Host::DefaultClientSocketPath();
  CommandLine commandLine{"nfs_host status",
                          {Switch("json", [&] { json = true; }),
                           ControlSocketOption(socketPath)},
                          PrintHelp};
  if (const Parsed parsed = Parse(commandLine, argc, argv); parsed.exitStatus) return *parsed.exitStatus;
  ControlClient client;
  std::string problem;
  if (!client.Open(socketPath, problem)) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    return 2;
  }
  nlohmann::json response;
  nlohmann::json document;
  if (!client.Run(NFS::CommandNames::GetServerStatus.commandName, response, problem) ||
      !DocumentOf(response, NFS::kStatusProperty, document, problem)) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    return 1;
  }
  if (Number(document, "format") != static_cast<uint64_t>(NFS::kMonitoringFormat)) {
    std::fprintf(stderr, "The host's status comes in a format this program does not know.\n");
    return 1;
  }
  if (json) {
    std::printf("%s\n", document.dump(2).c_str());
  } else {
    Print(document);
  }
  return 0;
}

}  // namespace Tools
