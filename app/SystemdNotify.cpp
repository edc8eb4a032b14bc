#include "app/SystemdNotify.h"

#include <fmt/format.h>
#include <systemd/sd-daemon.h>
#include <time.h>

#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "commands/Names.h"
#include "host/Logging.h"
#include "host/Strings.h"

namespace Host {

namespace {

// The manager reads the message as NAME=value lines: a status must be one.
std::string OneLine(const std::string& text) { return Common::EscapeLogText(text, Common::kLogLineBytes); }

// A manager that does not answer cannot be helped from here: systemd times
// the unit out, and without one nobody listens.
void Notify(const std::string& state) { sd_notify(0, state.c_str()); }

}  // namespace

void NotifyReady(const std::string& status) { Notify("READY=1\nSTATUS=" + OneLine(status)); }

void NotifyStopping() { Notify("STOPPING=1"); }

void NotifyReloading() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t micros = static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
  Notify(fmt::format("RELOADING=1\nMONOTONIC_USEC={}", micros));
}

std::string ServingSummary(Core::CommandRunner& commands, const std::string& localPath,
                           const std::string& shareName) {
  if (std::getenv("NOTIFY_SOCKET") == nullptr) return {};
  std::string summary = "Serving '" + localPath + "' as '" + shareName + "'";
  uint64_t port = 0;
  try {
    const Core::Record response =
        commands
            .Run(NFS::CommandNames::GetServerStatus.commandName,
                 Core::Record(NFS::CommandNames::GetServerStatus.requestType))
            .get();
    const auto document = nlohmann::json::parse(
        Common::ToUtf8(response.GetOr<Common::WString>(NFS::kStatusProperty, {})), nullptr, false);
    if (document.is_object() && document.contains("network") && document["network"].is_object()) {
      const auto& network = document["network"];
      if (network.contains("port") && network["port"].is_number_unsigned()) port = network["port"].get<uint64_t>();
    }
  } catch (const Common::Error&) {
    // Said without the port: the status line is no reason to fail a start.
  }
  if (port != 0) summary += fmt::format(" on port {}", port);
  return summary;
}

}  // namespace Host
