#include "app/ControlChannel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "app/StreamQueue.h"
#include "host/HostErrors.h"
#include "host/Logging.h"
#include "tools/ControlProtocol.h"

namespace Host {

namespace {

constexpr uint32_t kChannelError = 0x100000A;
constexpr uint32_t kHostChannel = 256;
constexpr size_t kMaxLine = 1 << 20;
// How long the acceptor rests when the system has no descriptor or memory for
// a connection; the pending connection keeps the listener readable meanwhile.
constexpr int kAcceptRetryMs = 100;
// A client that takes no answers for this long is dropped, so that it cannot
// hold a connection thread, and with it the host's stop, for ever.
constexpr time_t kSendTimeoutSeconds = 10;
constexpr Common::Message kMalformed{0x100000A0, "The request is not valid JSON: {0}"};
constexpr Common::Message kShape{0x100000A1, "A request is an object with a \"command\" string and a \"request\" object."};
constexpr Common::Message kSocketFailed{0x100000A2, "Cannot open the control socket '{0}': {1}"};
constexpr Common::Message kTooLong{0x100000A3, "The request line is longer than {0} bytes."};
constexpr Common::Message kCommandThrew{0x100000A4, "The command '{0}' failed: {1}"};
constexpr Common::Message kCommandThrewUnknown{0x100000A5, "The command '{0}' failed with an unknown exception."};
constexpr Common::Message kTooManyConnections{
    0x100000A6, "The host already serves {0} control connections; try again when one has ended."};
constexpr Common::Message kNoConnectionThread{0x100000A7, "Cannot serve the control connection: {0}"};
constexpr Common::Message kAcceptFailed{
    0x100000A8, "Cannot accept control connections: {0}. Retrying every {1} ms until resources are free."};
constexpr Common::Message kShuttingDown{0x100000A9, "The host is shutting down; the request was not run."};
constexpr Common::Message kNoAcceptor{0x100000AA, "Cannot start the control channel: {0}"};
constexpr Common::Message kWatchShape{0x100000C1, "A watch request is an object with a \"watch\" string naming a stream."};
constexpr Common::Message kWatchThrew{0x100000C2, "The stream '{0}' cannot be watched: {1}"};
constexpr Common::Message kWatchDropped{
    0x100000C3, "A watcher of '{0}' ended; {1} items were dropped because it did not read them in time."};
constexpr Common::Message kWatchEnded{0x100000C4, "The host is shutting down."};

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

// A last answer that must not wait on the client nor fail in turn: it is
// logged, sent if the socket takes it at once, and the connection is closed.
void Refuse(int fd, const Common::Message& message, const std::string& detail) noexcept {
  try {
    const Common::Error error(kChannelError, Common::FormatMessage(message, detail));
    Common::Log(Common::kWarning, kHostChannel, error);
    const std::string line = Failure(error) + "\n";
    [[maybe_unused]] const ssize_t sent = send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  } catch (...) {
    static constexpr char kFallback[] =
        "{\"ok\":false,\"error\":[{\"code\":\"0x0100000A\",\"message\":\"The host cannot serve this connection.\"}]}\n";
    [[maybe_unused]] const ssize_t sent = send(fd, kFallback, sizeof kFallback - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  close(fd);
}

// Whether the line asks to watch a stream; `name` is then the stream's
// name, or empty when the request names none as a string.
bool IsWatchRequest(const std::string& line, std::string& name) {
  if (line.find("\"watch\"") == std::string::npos) return false;
  try {
    const nlohmann::json request = nlohmann::json::parse(line);
    if (!request.is_object() || !request.contains("watch")) return false;
    name = request["watch"].is_string() ? request["watch"].get<std::string>() : std::string();
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;  // answered as any malformed line
  }
}

// Sends what the socket takes at once; false when the connection failed.
bool SendSome(int fd, const std::string& text, size_t& sent) {
  while (sent < text.size()) {
    const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

ControlChannel::ControlChannel(Core::CommandRunner& runner, std::string path)
    : runner_(runner), path_(std::move(path)) {}

ControlChannel::ControlChannel(Core::CommandRunner& runner, Core::Streams& streams, std::string path)
    : runner_(runner), streams_(&streams), path_(std::move(path)) {}

void ControlChannel::Start() {
  auto fail = [&](int error) {
    throw Common::Error(kChannelError, Common::FormatMessage(kSocketFailed, path_, std::strerror(error)));
  };
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path_.empty()) fail(ENOENT);
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
  struct stat made {};
  if (lstat(path_.c_str(), &made) == 0) {
    bound_ = true;
    boundDevice_ = made.st_dev;
    boundInode_ = made.st_ino;
  }
  chmod(path_.c_str(), 0600);
  if (listen(listener_, 16) != 0) fail(errno);
  if (pipe2(wake_, O_CLOEXEC) != 0) fail(errno);
  try {
    acceptor_ = std::thread([this] { AcceptLoop(); });
  } catch (const std::system_error& failure) {
    throw Common::Error(kChannelError, Common::FormatMessage(kNoAcceptor, failure.what()));
  }
}

ControlChannel::~ControlChannel() {
  Stop();
  for (int fd : wake_) {
    if (fd >= 0) close(fd);
  }
}

void ControlChannel::Stop() {
  stopping_ = true;
  if (wake_[1] >= 0) {
    [[maybe_unused]] const ssize_t written = write(wake_[1], "x", 1);
  }
  if (acceptor_.joinable()) acceptor_.join();
  if (listener_ >= 0) {
    close(listener_);
    listener_ = -1;
  }
  // Only the socket this channel made: another host may own the path now.
  struct stat current {};
  if (bound_ && lstat(path_.c_str(), &current) == 0 && current.st_dev == boundDevice_ &&
      current.st_ino == boundInode_) {
    unlink(path_.c_str());
  }
  bound_ = false;
  std::list<Connection> connections;
  {
    std::lock_guard lock(mutex_);
    // Idle connections see the end of their stream; a running request still
    // sends its answer.
    for (auto& connection : connections_) {
      if (!connection.done) shutdown(connection.fd, SHUT_RD);
    }
    connections.splice(connections.end(), connections_);
  }
  for (auto& connection : connections) connection.thread.join();
}

void ControlChannel::AcceptLoop() {
  bool resting = false;  // the last accept found no descriptor or memory
  bool warned = false;   // ... and that has been logged since the last success
  for (;;) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    // Out of descriptors the pending connection keeps the listener readable:
    // wait on the wake-up pipe alone for a while instead of spinning.
    const int ready = resting ? poll(&fds[1], 1, kAcceptRetryMs) : poll(fds, 2, -1);
    if (ready < 0 && errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptRetryMs));
    if (fds[1].revents != 0 || stopping_) return;
    resting = false;
    if (fds[0].revents == 0) continue;
    ReapFinished();
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      warned = false;
      Admit(fd);
      continue;
    }
    const int error = errno;
    if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
      if (!warned) {
        const Common::Error failure(kChannelError,
                                    Common::FormatMessage(kAcceptFailed, std::strerror(error), kAcceptRetryMs));
        Common::Log(Common::kWarning, kHostChannel, failure);
      }
      resting = warned = true;
    }
    // Anything else (a client that gave up, a signal) concerned that one attempt.
  }
}

void ControlChannel::ReapFinished() {
  std::list<Connection> finished;
  {
    std::lock_guard lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      const auto next = std::next(it);
      if (it->done) finished.splice(finished.end(), connections_, it);
      it = next;
    }
  }
  for (auto& connection : finished) connection.thread.join();
}

void ControlChannel::Admit(int fd) {
  std::unique_lock lock(mutex_);
  const auto active = std::count_if(connections_.begin(), connections_.end(),
                                    [](const Connection& connection) { return !connection.done; });
  if (static_cast<size_t>(active) >= kMaxConnections) {
    lock.unlock();
    Refuse(fd, kTooManyConnections, std::to_string(kMaxConnections));
    return;
  }
  const timeval timeout{kSendTimeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  try {
    Connection& connection = connections_.emplace_back(fd);
    try {
      connection.thread = std::thread([this, &connection] { Serve(connection); });
    } catch (...) {
      connections_.pop_back();
      throw;
    }
  } catch (const std::exception& error) {
    // No thread (or no memory) for it: this client is told so, the others
    // and the host carry on.
    lock.unlock();
    Refuse(fd, kNoConnectionThread, error.what());
  }
}

void ControlChannel::Serve(Connection& connection) {
  const int fd = connection.fd;
  try {
    std::string pending;
    char buffer[4096];
    bool open = true;
    while (open) {
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // the client went away, perhaps mid-line: nothing to answer
      pending.append(buffer, static_cast<size_t>(n));
      size_t newline;
      while (open && (newline = pending.find('\n')) != std::string::npos) {
        const std::string line = pending.substr(0, newline);
        pending.erase(0, newline + 1);
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        std::string stream;
        if (stopping_) {
          SendAll(fd, Failure(Common::Error(kChannelError, Common::FormatMessage(kShuttingDown))) + "\n");
          open = false;
        } else if (IsWatchRequest(line, stream)) {
          open = Watch(fd, stream);
        } else {
          open = SendAll(fd, Answer(line) + "\n");
        }
      }
      if (open && pending.size() > kMaxLine) {
        SendAll(fd, Failure(Common::Error(kChannelError, Common::FormatMessage(kTooLong, kMaxLine))) + "\n");
        open = false;
      }
    }
  } catch (...) {
    // Out of memory, most likely: this connection ends, the host goes on.
  }
  // The descriptor is closed here and nowhere else, under the lock, so that
  // Stop never shuts down a number the system has handed out again.
  std::lock_guard lock(mutex_);
  close(fd);
  connection.fd = -1;
  connection.done = true;
}

bool ControlChannel::Watch(int fd, const std::string& name) {
  std::shared_ptr<StreamQueue> queue;
  std::unique_ptr<Core::StreamSubscription> subscription;
  Common::Error failure;
  try {
    if (name.empty()) throw Common::Error(kChannelError, Common::FormatMessage(kWatchShape));
    if (streams_ == nullptr) {
      throw Common::Error(Core::HostErrorCode::StreamNotFound,
                          Common::FormatMessage(Core::HostMessages::StreamNotFound, name));
    }
    queue = std::make_shared<StreamQueue>(kWatchQueueCapacity);
    subscription = streams_->Subscribe(name, queue);
  } catch (const Common::Error& error) {
    failure = error;
  } catch (const std::exception& error) {
    failure = Common::Error(kChannelError, Common::FormatMessage(kWatchThrew, name, std::string(error.what())));
  } catch (...) {
    failure = Common::Error(kChannelError, Common::FormatMessage(kWatchThrew, name, std::string("unknown exception")));
  }
  if (failure.IsFailure()) {
    Common::Log(Common::kWarning, kHostChannel, failure);
    return SendAll(fd, Failure(failure) + "\n");
  }
  // The watcher count lets a client see that earlier watchers have ended.
  bool open = SendAll(fd, Line({{"ok", true}, {"watching", name}, {"watchers", streams_->CountWatchers(name)}}) + "\n");

  // Whatever the watcher has not taken yet, at most one queue's worth: the
  // queue is emptied only once all of it is sent, so items wait in the
  // queue, where they are counted when dropped, rather than here.
  std::string out;
  size_t sent = 0;
  std::vector<Core::Record> items;
  uint64_t droppedNow = 0;
  uint64_t dropped = 0;
  auto takeQueued = [&] {
    queue->Take(items, droppedNow);
    for (const auto& item : items) out += Line({{"item", ResponseToJson(item)}}) + "\n";
    if (droppedNow > 0) out += Line({{"dropped", droppedNow}}) + "\n";
    dropped += droppedNow;
  };
  char discard[1024];
  while (open) {
    if (sent == out.size()) {
      out.clear();
      sent = 0;
      takeQueued();
    }
    open = SendSome(fd, out, sent);
    if (!open) break;
    const bool waiting = sent < out.size();
    // While output waits the queue is not emptied, so its wake-up is not
    // asked for; the socket's room is.
    pollfd fds[2] = {{fd, static_cast<short>(POLLIN | POLLRDHUP | (waiting ? POLLOUT : 0)), 0},
                     {queue->WakeDescriptor(), static_cast<short>(waiting ? 0 : POLLIN), 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if ((fds[0].revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) != 0) {
      // Anything a watcher sends is ignored; the end of its stream (its
      // Ctrl-C, or the channel's stop) ends the watch.
      const ssize_t n = recv(fd, discard, sizeof discard, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) break;
    }
  }
  // Unsubscribed before the connection closes: no item is queued for it
  // after this.
  subscription.reset();
  if (open && stopping_) {
    // A last word for a watcher that still reads, without waiting for one
    // that does not.
    if (sent == out.size()) {
      out.clear();
      sent = 0;
      takeQueued();
    }
    out += Line({{"end", Common::ToUtf8(Common::FormatMessage(kWatchEnded))}}) + "\n";
    SendSome(fd, out, sent);
  }
  if (dropped > 0) {
    Common::Notice(kHostChannel, kWatchDropped, name, dropped);
  }
  return false;
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
  // Commands come from any module: whatever one throws is this request's
  // failure, never the host's.
  Common::Error failure;
  try {
    const auto factory = runner_.FindFactory(name);
    Core::Record typed = factory ? RequestFromJson(factory->GetDescription(), request.value("request", nlohmann::json()))
                                 : Core::Record();
    const Core::Record response = runner_.Run(name, std::move(typed)).get();
    return Line({{"ok", true}, {"response", ResponseToJson(response)}});
  } catch (const Common::Error& error) {
    failure = error;
  } catch (const std::exception& error) {
    failure = Common::Error(kChannelError, Common::FormatMessage(kCommandThrew, name, std::string(error.what())));
  } catch (...) {
    failure = Common::Error(kChannelError, Common::FormatMessage(kCommandThrewUnknown, name));
  }
  Common::Log(Common::kWarning, kHostChannel, failure);
  return Failure(failure);
}

}  // namespace Host
