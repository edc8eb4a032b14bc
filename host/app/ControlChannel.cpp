#include "host/app/ControlChannel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/Logging.h"
#include "host/app/ControlProtocol.h"

namespace Host {

namespace {

constexpr uint32_t kChannelError = 0x100000A;
constexpr uint32_t kHostChannel = 256;
constexpr size_t kMaxLine = 1 << 20;
constexpr Common::Message kMalformed{0x100000A0, "The request is not valid JSON: {0}"};
constexpr Common::Message kShape{0x100000A1, "A request is an object with a \"command\" string and a \"request\" object."};
constexpr Common::Message kSocketFailed{0x100000A2, "Cannot open the control socket '{0}': {1}"};
constexpr Common::Message kTooLong{0x100000A3, "The request line is longer than {0} bytes."};

std::string Line(const nlohmann::json& answer) { return answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

std::string Failure(const Common::Error& error) { return Line({{"ok", false}, {"error", ErrorToJson(error)}}); }

bool SendAll(int fd, const std::string& text) {
  size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

ControlChannel::ControlChannel(Core::CommandRunner& runner, std::string path)
    : runner_(runner), path_(std::move(path)) {}

void ControlChannel::Start() {
  auto fail = [&](int error) {
    throw Common::Error(kChannelError, Common::FormatMessage(kSocketFailed, path_, std::strerror(error)));
  };
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path_.size() >= sizeof address.sun_path) fail(ENAMETOOLONG);
  std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
  listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) fail(errno);
  // A socket left by a host that died is replaced; a live one is not.
  struct stat existing {};
  if (lstat(path_.c_str(), &existing) == 0 && S_ISSOCK(existing.st_mode)) {
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool alive = connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(probe);
    if (alive) fail(EADDRINUSE);
    unlink(path_.c_str());
  }
  // Owner-only from the moment it exists.
  const mode_t previous = umask(0077);
  const int bound = bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  const int error = errno;
  umask(previous);
  if (bound != 0) fail(error);
  chmod(path_.c_str(), 0600);
  if (listen(listener_, 16) != 0) fail(errno);
  if (pipe2(wake_, O_CLOEXEC) != 0) fail(errno);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

ControlChannel::~ControlChannel() {
  stopping_ = true;
  if (wake_[1] >= 0) {
    [[maybe_unused]] const ssize_t written = write(wake_[1], "x", 1);
  }
  if (acceptor_.joinable()) acceptor_.join();
  std::list<std::pair<int, std::thread>> connections;
  {
    std::lock_guard lock(mutex_);
    for (auto& connection : connections_) shutdown(connection.first, SHUT_RDWR);
    connections.swap(connections_);
  }
  for (auto& connection : connections) connection.second.join();
  if (listener_ >= 0) {
    close(listener_);
    unlink(path_.c_str());
  }
  for (int fd : wake_) {
    if (fd >= 0) close(fd);
  }
}

void ControlChannel::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0 || stopping_) return;
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard lock(mutex_);
    connections_.emplace_back(fd, std::thread([this, fd] { Serve(fd); }));
  }
}

void ControlChannel::Serve(int fd) {
  std::string pending;
  char buffer[4096];
  for (;;) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the client went away, perhaps mid-line: nothing to answer
    pending.append(buffer, static_cast<size_t>(n));
    size_t newline;
    bool ok = true;
    while (ok && (newline = pending.find('\n')) != std::string::npos) {
      const std::string line = pending.substr(0, newline);
      pending.erase(0, newline + 1);
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
      ok = SendAll(fd, Answer(line) + "\n");
    }
    if (!ok) break;
    if (pending.size() > kMaxLine) {
      SendAll(fd, Failure(Common::Error(kChannelError, Common::FormatMessage(kTooLong, kMaxLine))) + "\n");
      break;
    }
  }
  // Closed by whoever ends first: this thread, or the destructor's shutdown.
  std::lock_guard lock(mutex_);
  for (auto it = connections_.begin(); it != connections_.end(); ++it) {
    if (it->first == fd) {
      it->second.detach();
      connections_.erase(it);
      break;
    }
  }
  close(fd);
}

std::string ControlChannel::Answer(const std::string& line) {
  nlohmann::json request;
  try {
    request = nlohmann::json::parse(line);
  } catch (const nlohmann::json::exception& error) {
    return Failure(Common::Error(kChannelError, Common::FormatMessage(kMalformed, std::string(error.what()))));
  }
  if (!request.is_object() || !request.contains("command") || !request["command"].is_string()) {
    return Failure(Common::Error(kChannelError, Common::FormatMessage(kShape)));
  }
  const std::string name = request["command"].get<std::string>();
  try {
    const auto factory = runner_.FindFactory(name);
    Core::Record typed = factory ? RequestFromJson(factory->GetDescription(), request.value("request", nlohmann::json()))
                                 : Core::Record();
    const Core::Record response = runner_.Run(name, std::move(typed)).get();
    return Line({{"ok", true}, {"response", ResponseToJson(response)}});
  } catch (const Common::Error& error) {
    Common::Log(Common::kWarning, kHostChannel, error);
    return Failure(error);
  }
}

}  // namespace Host
