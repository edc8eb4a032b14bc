#include "tools/WatchCommand.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "commands/Names.h"
#include "tools/CommandLine.h"
#include "tools/ControlProtocol.h"
#include "tools/ControlSocket.h"

namespace Tools {

namespace {

// The host's lines are short; anything this long is not the host speaking.
constexpr size_t kMaxLine = 1 << 20;

void PrintHelp() {
  std::printf(
      "Usage: nfs_host watch [--json] [--control-socket PATH]\n"
      "  Prints the files that clients create and delete on a running host, one line\n"
      "  each as it happens (time, event, path, object id), until Ctrl-C or the host\n"
      "  stops. Lines the host could not deliver because this watcher fell behind are\n"
      "  counted in a 'dropped' line.\n"
      "  --json                one JSON object per line instead\n"
      "  --control-socket PATH the host's control socket (default %s)\n"
      "  --help                this text\n"
      "  --version             the version of this program\n",
      Host::DefaultClientSocketPath().c_str());
}

// Every byte outside printable ASCII (a newline in a file name, say) as
// \xNN, so that one event stays one line.
std::string Printable(const std::string& text) {
  std::string shown;
  for (const unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      shown.push_back(static_cast<char>(c));
    } else {
      char code[5];
      std::snprintf(code, sizeof code, "\\x%02X", c);
      shown += code;
    }
  }
  return shown;
}

std::string Text(const nlohmann::json& object, const char* name) {
  const auto it = object.find(name);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string("-");
}

void PrintErrors(const nlohmann::json& reply) {
  const auto error = reply.find("error");
  if (error == reply.end() || !error->is_array()) return;
  for (const auto& record : *error) {
    if (record.is_object()) {
      std::fprintf(stderr, "%s: %s\n", Text(record, "code").c_str(), Text(record, "message").c_str());
    }
  }
}

enum class Outcome { Going, Ended, Broken };

// One line of the stream printed; whether the stream goes on.
Outcome PrintLine(const std::string& line, bool json) {
  nlohmann::json message;
  try {
    message = nlohmann::json::parse(line);
  } catch (const nlohmann::json::exception&) {
    message = nullptr;
  }
  if (!message.is_object()) {
    std::fprintf(stderr, "The host's line is not understood: '%s'\n", Printable(line.substr(0, 200)).c_str());
    return Outcome::Broken;
  }
  if (const auto item = message.find("item"); item != message.end() && item->is_object()) {
    if (json) {
      // The fields a reader looks for first, then anything else the host sent.
      nlohmann::ordered_json shown;
      for (const char* name : {"time", "event", "path", "id"}) {
        if (item->contains(name)) shown[name] = (*item)[name];
      }
      for (const auto& [name, value] : item->items()) {
        if (!shown.contains(name)) shown[name] = value;
      }
      std::printf("%s\n", shown.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    } else {
      std::printf("%s %s %s %s\n", Printable(Text(*item, "time")).c_str(), Printable(Text(*item, "event")).c_str(),
                  Printable(Text(*item, "path")).c_str(), Printable(Text(*item, "id")).c_str());
    }
    return Outcome::Going;
  }
  if (const auto dropped = message.find("dropped"); dropped != message.end() && dropped->is_number_unsigned()) {
    if (json) {
      std::printf("{\"dropped\":%llu}\n", static_cast<unsigned long long>(dropped->get<uint64_t>()));
    } else {
      std::printf("-- %llu events dropped: this watcher fell behind\n",
                  static_cast<unsigned long long>(dropped->get<uint64_t>()));
    }
    return Outcome::Going;
  }
  if (message.contains("end")) {
    std::fflush(stdout);
    std::fprintf(stderr, "The host ended the stream: %s\n", Printable(Text(message, "end")).c_str());
    return Outcome::Ended;
  }
  if (message.contains("error")) {
    std::fflush(stdout);
    PrintErrors(message);
    return Outcome::Broken;
  }
  return Outcome::Going;  // a kind of line this client does not know yet
}

}  // namespace

int RunWatch(int argc, char** argv) {
  std::string socketPath = Host::DefaultClientSocketPath();
  bool json = false;
  CommandLine commandLine{"nfs_host watch",
                          {Switch("json", [&] { json = true; }),
                           ControlSocketOption(socketPath)},
                          PrintHelp};
  if (const Parsed parsed = Parse(commandLine, argc, argv); parsed.exitStatus) return *parsed.exitStatus;

  // Ctrl-C and SIGTERM end the watch through the poll below, so that the
  // last lines are printed whole.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigprocmask(SIG_BLOCK, &stops, nullptr);
  const int signals = signalfd(-1, &stops, SFD_CLOEXEC);
  if (signals < 0) {
    std::fprintf(stderr, "Cannot watch for Ctrl-C: %s\n", std::strerror(errno));
    return 1;
  }

  std::string problem;
  const int fd = ConnectToHost(socketPath, problem);
  if (fd < 0) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    close(signals);
    return 2;
  }
  const std::string request = nlohmann::json{{"watch", NFS::kFileEventsStreamName}}.dump() + "\n";
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    std::fprintf(stderr, "Cannot send the watch request: %s\n", std::strerror(errno));
    close(fd);
    close(signals);
    return 1;
  }

  std::string pending;
  bool acknowledged = false;
  int status = -1;
  char buffer[65536];
  while (status < 0) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {signals, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "Cannot wait for the host: %s\n", std::strerror(errno));
      status = 1;
      break;
    }
    if (fds[1].revents != 0) {
      status = 0;  // Ctrl-C: closing the connection ends the watch on the host
      break;
    }
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::fflush(stdout);
      if (!acknowledged) {
        std::fprintf(stderr, "The host closed the connection without an answer.\n");
        status = 1;
      } else {
        std::fprintf(stderr, "The host closed the connection.\n");
        status = 0;
      }
      break;
    }
    pending.append(buffer, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t newline; status < 0 && (newline = pending.find('\n', start)) != std::string::npos;
         start = newline + 1) {
      const std::string line = pending.substr(start, newline - start);
      if (!acknowledged) {
        nlohmann::json reply;
        try {
          reply = nlohmann::json::parse(line);
        } catch (const nlohmann::json::exception&) {
          reply = nullptr;
        }
        if (reply.is_object() && reply.value("ok", false)) {
          acknowledged = true;
          std::fprintf(stderr, "Watching %s on %s; Ctrl-C stops.\n", NFS::kFileEventsStreamName, socketPath.c_str());
          continue;
        }
        if (reply.is_object() && reply.contains("error")) {
          PrintErrors(reply);
        } else {
          std::fprintf(stderr, "The host's answer is not understood: '%s'\n", Printable(line.substr(0, 200)).c_str());
        }
        status = 1;
        break;
      }
      switch (PrintLine(line, json)) {
        case Outcome::Going:
          break;
        case Outcome::Ended:
          status = 0;
          break;
        case Outcome::Broken:
          status = 1;
          break;
      }
    }
    pending.erase(0, start);
    std::fflush(stdout);
    if (status < 0 && pending.size() > kMaxLine) {
      std::fprintf(stderr, "The host sent a line longer than %zu bytes.\n", kMaxLine);
      status = 1;
    }
  }
  std::fflush(stdout);
  close(fd);
  close(signals);
  return status;
}

}  // namespace Tools
