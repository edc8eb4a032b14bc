#include "host/app/CallCommand.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "host/app/ControlProtocol.h"

namespace Host {

namespace {

void Usage() {
  std::fprintf(stderr,
               "Usage: nfs_host call [--control-socket PATH] COMMAND [Property=Value ...]\n"
               "  Values are text; numbers, true/false and base64 byte vectors are converted\n"
               "  by the command's property types. Example:\n"
               "    nfs_host call NFS::FileExistsCommand ShareName=/share FilePath=big.bin\n");
}

}  // namespace

int RunCall(int argc, char** argv) {
  std::string socketPath = DefaultControlSocketPath();
  int i = 1;
  if (i < argc && std::strcmp(argv[i], "--control-socket") == 0) {
    if (i + 1 >= argc) {
      Usage();
      return 2;
    }
    socketPath = argv[i + 1];
    i += 2;
  }
  if (i >= argc || std::strcmp(argv[i], "--help") == 0) {
    Usage();
    return 2;
  }
  nlohmann::json request = {{"command", argv[i++]}, {"request", nlohmann::json::object()}};
  for (; i < argc; ++i) {
    const std::string pair = argv[i];
    const size_t equals = pair.find('=');
    if (equals == std::string::npos || equals == 0) {
      std::fprintf(stderr, "'%s' is not Property=Value\n", pair.c_str());
      return 2;
    }
    request["request"][pair.substr(0, equals)] = pair.substr(equals + 1);
  }

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::fprintf(stderr, "Cannot reach the host at '%s': %s (is it running?)\n", socketPath.c_str(),
                 std::strerror(errno));
    close(fd);
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
  nlohmann::json reply;
  try {
    reply = nlohmann::json::parse(answer.substr(0, answer.find('\n')));
  } catch (const nlohmann::json::exception&) {
    std::fprintf(stderr, "The host gave no answer.\n");
    return 2;
  }
  if (reply.value("ok", false)) {
    for (const auto& [name, value] : reply["response"].items()) {
      std::printf("%s %s\n", name.c_str(), value.is_string() ? value.get<std::string>().c_str() : value.dump().c_str());
    }
    return 0;
  }
  for (const auto& record : reply["error"]) {
    std::fprintf(stderr, "%s: %s\n", record.value("code", "").c_str(), record.value("message", "").c_str());
  }
  return 1;
}

}  // namespace Host
