#include "tools/CallCommand.h"

#include <sys/socket.h>
#include <unistd.h>

#include <utf8.h>

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "tools/CommandLine.h"
#include "tools/ControlProtocol.h"
#include "tools/ControlSocket.h"

namespace Tools {

namespace {

void PrintHelp() {
  std::printf(
      "Usage: nfs_host call [--control-socket PATH] COMMAND [Property=Value ...]\n"
      "  Values are text; numbers, true/false and base64 byte vectors are converted\n"
      "  by the command's property types. Example:\n"
      "    nfs_host call NFS::FileExistsCommand ShareName=/share FilePath=big.bin\n"
      "  The socket (default %s) must belong to you or root, in a folder\n"
      "  that no other user may change.\n"
      "  --help      this text\n"
      "  --version   the version of this program\n",
      Host::DefaultClientSocketPath().c_str());
}

// The text with every byte outside printable ASCII as \xNN, so that any
// argument can be shown back safely.
std::string Escaped(const std::string& text) {
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

// Requests are JSON, which carries UTF-8 text only.
bool RefuseUnlessUtf8(const std::string& argument) {
  if (utf8::is_valid(argument.begin(), argument.end())) return false;
  std::fprintf(stderr, "The argument '%s' is not valid UTF-8; command names, property names and values must be.\n",
               Escaped(argument).c_str());
  return true;
}

// Prints the host's answer line; the exit status.
int PrintAnswer(const std::string& answer) {
  try {
    const nlohmann::json reply = nlohmann::json::parse(answer);
    if (reply.is_object() && reply.value("ok", false) && reply.contains("response") && reply["response"].is_object()) {
      for (const auto& [name, value] : reply["response"].items()) {
        std::printf("%s %s\n", name.c_str(),
                    value.is_string() ? value.get<std::string>().c_str()
                                      : value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
      }
      return 0;
    }
    if (reply.is_object() && reply.contains("error") && reply["error"].is_array()) {
      for (const auto& record : reply["error"]) {
        if (!record.is_object()) throw std::invalid_argument("an error record is not an object");
        std::fprintf(stderr, "%s: %s\n", record.value("code", "").c_str(), record.value("message", "").c_str());
      }
      return 1;
    }
  } catch (const std::exception&) {
    // Not the host's protocol: reported below.
  }
  std::fprintf(stderr, "The host's answer is not understood: '%s'\n", Escaped(answer.substr(0, 200)).c_str());
  return 2;
}

}  // namespace

int RunCall(int argc, char** argv) {
  std::string socketPath = Host::DefaultClientSocketPath();
  // Options come before the command: what follows it is the request's, even
  // when it begins with "-".
  CommandLine commandLine{"nfs_host call",
                          {ControlSocketOption(socketPath)},
                          PrintHelp, true, SIZE_MAX};
  const Parsed parsed = Parse(commandLine, argc, argv);
  if (parsed.exitStatus) return *parsed.exitStatus;
  if (parsed.arguments.empty()) return UsageError(commandLine.command, "missing the COMMAND to run");
  const std::string& command = parsed.arguments.front();
  if (RefuseUnlessUtf8(command)) return 2;
  nlohmann::json request = {{"command", command}, {"request", nlohmann::json::object()}};
  for (size_t i = 1; i < parsed.arguments.size(); ++i) {
    const std::string& pair = parsed.arguments[i];
    if (RefuseUnlessUtf8(pair)) return 2;
    const size_t equals = pair.find('=');
    if (equals == std::string::npos || equals == 0) {
      std::fprintf(stderr, "'%s' is not Property=Value\n", Escaped(pair).c_str());
      return 2;
    }
    request["request"][pair.substr(0, equals)] = pair.substr(equals + 1);
  }

  std::string problem;
  const int fd = ConnectToHost(socketPath, problem);
  if (fd < 0) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    return 2;
  }
  const std::string line = request.dump() + "\n";
  if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
    std::fprintf(stderr, "Cannot send the request: %s\n", std::strerror(errno));
    close(fd);
    return 2;
  }
  std::string answer;
  char buffer[4096];
  while (answer.find('\n') == std::string::npos) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    answer.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  if (answer.empty()) {
    std::fprintf(stderr, "The host gave no answer.\n");
    return 2;
  }
  return PrintAnswer(answer.substr(0, answer.find('\n')));
}

}  // namespace Tools
