#include "service_lib/nsl/RpcThread.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <rpc/pmap_clnt.h>
#include <rpc/rpc_com.h>
#include <rpc/rpc.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <memory>
#include <system_error>
#include <utility>
#include <vector>

#include "host/Logging.h"
#include "host/Network.h"
#include "server_lib/core/ServerErrors.h"
#include "service_lib/nsl/Dispatch.h"
#include "service_lib/nsl/Statistics.h"

namespace NFS::NSL {

namespace {

constexpr uint32_t kMountProgram = 100005;
constexpr uint32_t kNfsProgram = 100003;
constexpr uint32_t kVersion = 3;
constexpr uint16_t kFixedPort = 2029;
constexpr int kBacklog = 5;
constexpr u_int kBufferSize = 65536;
// Records are assembled without blocking and refused beyond this size, so a
// stalled or lying client costs neither the thread nor the memory.
constexpr int kMaxRecordSize = 1 << 20;
// Records served from one connection before the next poll: a pipelining
// client is served without a poll per record, and cannot hold the others
// back for longer than this many requests.
constexpr int kRecordsPerTurn = 8;
constexpr uint8_t kMaxLookAheadMisses = 6;
// The most one answer adds to a socket's send queue: the transport writes a
// record with one write of at most its buffer, and the kernel counts its
// own bookkeeping on top.
constexpr uint32_t kAnswerRoom = kBufferSize + kBufferSize / 8;
// How long a connection whose answers back up waits before its socket is
// asked again, when poll says "writable" (half its queue is free) before
// an answer fits.
constexpr uint64_t kRecheckNs = 10'000'000;
// How long the listener rests when the process is out of descriptors and no
// connection can be closed to make room: it stays readable meanwhile, and
// polling it would only spin.
constexpr uint64_t kListenerRestNs = 100'000'000;
// Closing connections for want of descriptors is logged at most this often.
constexpr uint64_t kClosedForRoomLogNs = 60'000'000'000;

const Common::Message kFixedPortFailed{0x18220010,
                                       "Failed to bind the NFS service to fixed port '{0}'. Using the provided portmap."};
const Common::Message kStarting{0x18220030, "Starting NFS network services."};
const Common::Message kWakeFailed{0x18220050, "Failed to create the wake-up descriptor of the NFS service: {0}."};
const Common::Message kThreadFailed{0x18220060, "Failed to start the thread of the NFS service: {0}."};
const Common::Message kClosedForRoom{
    0x18220070, "Out of descriptors: closed the least active client connection ({0}) to accept a new one."};

const Common::Message kCannotListen{0x18220090, "Cannot listen on {0}: {1}."};

struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
  int Release() { return std::exchange(fd, -1); }
};

// The address to listen on: the literal asked for, or every interface of
// both families (IPv4 clients then arrive as IPv4-mapped IPv6 addresses),
// or of IPv4 alone where the machine has no IPv6.
socklen_t ListenAddressOf(const std::string& text, uint16_t port, sockaddr_storage& address, bool& dualStack) {
  address = {};
  dualStack = false;
  Host::IpNetwork literal;
  if (text.empty()) {
    const int probe = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe >= 0) {
      close(probe);
      dualStack = true;
      literal.family = AF_INET6;  // "::"
    } else {
      literal.family = AF_INET;  // 0.0.0.0
    }
  } else if (!Host::ParseIpAddress(text, literal)) {
    throw Common::Error(ErrorCode::RpcInitFailed,
                        Common::FormatMessage(kCannotListen, text, "not an IPv4 or IPv6 address"));
  }
  if (literal.family == AF_INET6) {
    auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    std::memcpy(&v6.sin6_addr, literal.bytes.data(), 16);
    return sizeof v6;
  }
  auto& v4 = reinterpret_cast<sockaddr_in&>(address);
  v4.sin_family = AF_INET;
  v4.sin_port = htons(port);
  std::memcpy(&v4.sin_addr, literal.bytes.data(), 4);
  return sizeof v4;
}

std::string Describe(const sockaddr_storage& address, socklen_t size) {
  return Host::FormatSocketAddress(reinterpret_cast<const sockaddr*>(&address), size);
}

// A listening socket on the address; -1 with errno when it cannot be made.
int ListenOn(const sockaddr_storage& address, socklen_t size, bool dualStack) {
  Descriptor listener{socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  if (listener.fd < 0) return -1;
  const int on = 1;
  const int off = 0;
  if (setsockopt(listener.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
      (address.ss_family != AF_INET6 ||
       setsockopt(listener.fd, IPPROTO_IPV6, IPV6_V6ONLY, dualStack ? &off : &on, sizeof on) == 0) &&
      bind(listener.fd, reinterpret_cast<const sockaddr*>(&address), size) == 0 && listen(listener.fd, kBacklog) == 0) {
    return listener.Release();
  }
  // The caller reports why: closing must not change errno.
  const int error = errno;
  close(listener.Release());
  errno = error;
  return -1;
}

SVCXPRT* CreateTcpTransport(const std::string& listenAddress, uint16_t requestedPort) {
  sockaddr_storage address{};
  bool dualStack = false;
  const uint16_t port = requestedPort != 0 ? requestedPort : kFixedPort;
  const socklen_t size = ListenAddressOf(listenAddress, port, address, dualStack);
  Descriptor listener{ListenOn(address, size, dualStack)};
  if (listener.fd < 0) {
    const int error = errno;
    // A port the operator named is that port or nothing: clients were told
    // where to find the server.
    if (requestedPort != 0) {
      throw Common::Error(ErrorCode::RpcInitFailed,
                          Common::FormatMessage(kCannotListen, Describe(address, size), std::strerror(error)));
    }
    Common::Notice(kLogChannel, kFixedPortFailed, kFixedPort);
    reinterpret_cast<sockaddr_in&>(address).sin_port = 0;  // the same place in both families
    listener.fd = ListenOn(address, size, dualStack);
    if (listener.fd < 0) {
      const int again = errno;
      throw Common::Error(ErrorCode::RpcInitFailed,
                          Common::FormatMessage(kCannotListen, Describe(address, size), std::strerror(again)));
    }
  }
  int maxRecord = kMaxRecordSize;
  rpc_control(RPC_SVC_CONNMAXREC_SET, &maxRecord);
  SVCXPRT* transport = svctcp_create(listener.fd, kBufferSize, kBufferSize);
  if (transport == nullptr) {
    throw Common::Error(ErrorCode::RpcInitFailed, Common::FormatMessage(Messages::RpcTransportFailed));
  }
  listener.Release();
  return transport;
}

// Calls handed to either program's dispatch by the library; read and
// written by the RPC thread only. The library's request function tells
// nothing, so this is how the loop learns that a connection had a whole
// record.
uint64_t g_dispatched = 0;

template <void (*Dispatch)(svc_req*, SVCXPRT*)>
void CountedDispatch(svc_req* request, SVCXPRT* transport) {
  ++g_dispatched;
  Dispatch(request, transport);
}

class Registration {
 public:
  Registration(SVCXPRT* transport, uint32_t program, void (*dispatch)(svc_req*, SVCXPRT*))
      : program_(program) {
    pmap_unset(program, kVersion);
    if (!svc_register(transport, program, kVersion, dispatch, IPPROTO_TCP)) {
      throw Common::Error(ErrorCode::RpcRegisterFailed,
                          Common::FormatMessage(Messages::RpcRegisterFailed, program, kVersion));
    }
  }
  ~Registration() { svc_unregister(program_, kVersion); }
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;

 private:
  uint32_t program_;
};

struct TransportCloser {
  void operator()(SVCXPRT* transport) const { svc_destroy(transport); }
};

// Closes every client connection the library holds: each is shut down and
// handed to the library once more, which sees the end of the stream and
// destroys the connection the way it destroys any that a client closed.
void CloseConnections(int listenerFd) {
  std::vector<pollfd> connections;
  for (int i = 0; i < svc_max_pollfd; ++i) {
    const int fd = svc_pollfd[i].fd;
    if (fd < 0 || fd == listenerFd) continue;
    shutdown(fd, SHUT_RDWR);
    connections.push_back(pollfd{fd, POLLIN, POLLIN});
  }
  if (!connections.empty()) svc_getreq_poll(connections.data(), static_cast<int>(connections.size()));
}

// How many answers fit into the connection's send queue now, up to 255;
// 255 when the socket cannot tell. An empty queue takes one whatever its
// size, as the kernel lets a write run past the limit then.
uint8_t AnswersThatFit(int fd) {
  uint32_t info[SK_MEMINFO_VARS] = {};
  socklen_t size = sizeof info;
  if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &size) != 0 || size < sizeof info) return UINT8_MAX;
  const uint32_t limit = info[SK_MEMINFO_SNDBUF];
  const uint32_t queued = info[SK_MEMINFO_WMEM_QUEUED];
  const uint32_t fit = queued == 0 ? std::max<uint32_t>(1, limit / kAnswerRoom)
                       : limit > queued ? (limit - queued) / kAnswerRoom
                                        : 0;
  return static_cast<uint8_t>(std::min<uint32_t>(fit, UINT8_MAX));
}

bool HasEnded(const pollfd& descriptor) { return (descriptor.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0; }

// Milliseconds for poll until the earliest of the deadlines that are set
// (not 0); -1 when none is.
int TimeoutUntil(std::initializer_list<uint64_t> deadlinesNs, uint64_t nowNs) {
  uint64_t earliest = 0;
  for (const uint64_t deadline : deadlinesNs) {
    if (deadline != 0 && (earliest == 0 || deadline < earliest)) earliest = deadline;
  }
  if (earliest == 0) return -1;
  return earliest > nowNs ? static_cast<int>((earliest - nowNs + 999'999) / 1'000'000) : 0;
}

// "address:port" of the connection's peer, "[v6 address]:port" for IPv6;
// IPv4 clients of a dual-stack listener show as IPv4.
std::string PeerOf(int fd) {
  sockaddr_storage peer{};
  socklen_t size = sizeof peer;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0) return "?";
  return Host::FormatSocketAddress(reinterpret_cast<const sockaddr*>(&peer), size);
}

}  // namespace

RpcThread::RpcThread(std::string listenAddress, uint16_t port)
    : listenAddress_(std::move(listenAddress)), requestedPort_(port) {
  // Without the wake-up descriptor nothing could end the thread: refuse to start.
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) {
    const int error = errno;
    throw Common::Error(ErrorCode::RpcInitFailed, Common::FormatMessage(kWakeFailed, std::strerror(error)));
  }
  try {
    thread_ = std::thread([this] { Body(); });
  } catch (const std::system_error& error) {
    close(wakeFd_);
    throw Common::Error(ErrorCode::RpcInitFailed, Common::FormatMessage(kThreadFailed, error.what()));
  }
}

RpcThread::~RpcThread() {
  stopping_.store(true, std::memory_order_relaxed);
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(wakeFd_, &one, sizeof one);
  if (thread_.joinable()) thread_.join();
  close(wakeFd_);
}

Common::Error RpcThread::WaitForStartup(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, limit, [this] { return serving_ || ended_; });
  return result_;
}

uint16_t RpcThread::GetPort() const {
  std::lock_guard lock(mutex_);
  return port_;
}

std::string RpcThread::GetListenAddress() const {
  std::lock_guard lock(mutex_);
  return listening_;
}

uint64_t RpcThread::GetServingSinceNs() const {
  std::lock_guard lock(mutex_);
  return servingSinceNs_;
}

std::vector<ClientConnection> RpcThread::GetConnections() const {
  std::lock_guard lock(connectionsMutex_);
  return published_;
}

bool RpcThread::Track(size_t slot, int listenerFd) {
  const int fd = slot < static_cast<size_t>(svc_max_pollfd) ? svc_pollfd[slot].fd : -1;
  if (slot >= tracked_.size()) {
    if (fd < 0) return false;
    tracked_.resize(slot + 1);
  }
  Tracked& tracked = tracked_[slot];
  // A descriptor number closed and handed out again between two looks
  // would be missed; the library closes and accepts in separate turns, and
  // MakeRoomToAccept tracks what it closes at once.
  if (tracked.fd == fd) return false;
  Statistics& statistics = GetStatistics();
  if (tracked.fd >= 0 && tracked.fd != listenerFd) {
    statistics.CountConnectionClosed();
    StateOf(tracked.fd) = ConnectionState{};
  }
  if (fd >= 0) StateOf(fd) = ConnectionState{};
  tracked.fd = fd;
  if (fd >= 0 && fd != listenerFd) {
    tracked.connection = ClientConnection{PeerOf(fd), static_cast<int64_t>(std::time(nullptr))};
    StateOf(fd).activeNs = SteadyNowNs();
    statistics.CountConnectionAccepted();
  }
  return true;
}

bool RpcThread::TrackAll(int listenerFd) {
  bool changed = false;
  const size_t slots = std::max(tracked_.size(), static_cast<size_t>(svc_max_pollfd));
  for (size_t slot = 0; slot < slots; ++slot) changed = Track(slot, listenerFd) || changed;
  if (changed) PublishConnections();
  return changed;
}

void RpcThread::MakeRoomToAccept(int listenerFd, uint64_t nowNs) {
  // The library says nothing of why it accepted nothing; a spare descriptor
  // tells whether it was for want of one.
  const int spare = fcntl(listenerFd, F_DUPFD_CLOEXEC, 0);
  if (spare >= 0) {
    close(spare);
    return;
  }
  if (errno != EMFILE && errno != ENFILE) return;
  // The least active connection goes, one whose answers back up before any.
  size_t chosen = SIZE_MAX;
  uint64_t oldest = UINT64_MAX;
  for (size_t slot = 0; slot < static_cast<size_t>(svc_max_pollfd); ++slot) {
    const int fd = svc_pollfd[slot].fd;
    if (fd < 0 || fd == listenerFd) continue;
    const ConnectionState& state = StateOf(fd);
    const uint64_t active = state.hold != Hold::kNone ? 0 : state.activeNs;
    if (active < oldest) {
      oldest = active;
      chosen = slot;
    }
  }
  if (chosen == SIZE_MAX) {
    listenerRestsUntilNs_ = nowNs + kListenerRestNs;
    return;
  }
  const int fd = svc_pollfd[chosen].fd;
  const std::string peer = chosen < tracked_.size() ? tracked_[chosen].connection.peer : PeerOf(fd);
  // Its calls still waiting are dropped unread, as a broken connection's
  // are (its client sends them again on a new one); the library then sees
  // the end of the stream and destroys the connection as any other.
  shutdown(fd, SHUT_RDWR);
  while (recv(fd, nullptr, 1 << 20, MSG_TRUNC | MSG_DONTWAIT) > 0) {
  }
  pollfd closing{fd, POLLIN, POLLIN};
  svc_getreq_poll(&closing, 1);
  if (Track(chosen, listenerFd)) PublishConnections();
  if (closedForRoomLoggedNs_ == 0 || nowNs - closedForRoomLoggedNs_ >= kClosedForRoomLogNs) {
    closedForRoomLoggedNs_ = nowNs;
    Common::Notice(kLogChannel, kClosedForRoom, peer);
  }
}

void RpcThread::PublishConnections() {
  std::vector<ClientConnection> connections;
  for (const Tracked& tracked : tracked_) {
    if (tracked.fd >= 0 && !tracked.connection.peer.empty()) connections.push_back(tracked.connection);
  }
  std::lock_guard lock(connectionsMutex_);
  published_.swap(connections);
}

void RpcThread::ForgetConnections(int listenerFd) {
  for (Tracked& tracked : tracked_) {
    if (tracked.fd >= 0 && tracked.fd != listenerFd) GetStatistics().CountConnectionClosed();
    tracked = Tracked{};
  }
  PublishConnections();
}

void RpcThread::Body() {
  Common::Error failure;
  try {
    // The library needs no start-up or clean-up calls on this platform.
    Common::Trace(kLogChannel, "Creating TCP RCP service");
    std::unique_ptr<SVCXPRT, TransportCloser> transport(CreateTcpTransport(listenAddress_, requestedPort_));
    Common::Trace(kLogChannel, "Registering MOUNTv3 protocol");
    Registration mount(transport.get(), kMountProgram, CountedDispatch<MountDispatch>);
    Common::Trace(kLogChannel, "Registering NFSv3 protocol");
    Registration nfs(transport.get(), kNfsProgram, CountedDispatch<NfsDispatch>);
    Common::Notice(kLogChannel, kStarting);
    {
      std::lock_guard lock(mutex_);
      serving_ = true;
      port_ = transport->xp_port;
      listening_ = Host::FormatSocketAddress(reinterpret_cast<const sockaddr*>(transport->xp_ltaddr.buf),
                                             static_cast<socklen_t>(transport->xp_ltaddr.len));
      servingSinceNs_ = SteadyNowNs();
    }
    changed_.notify_all();
    Serve(transport->xp_fd);
    Common::Trace(kLogChannel, "Stopped NFS server network part");
    CloseConnections(transport->xp_fd);
    ForgetConnections(transport->xp_fd);
  } catch (const Common::Error& error) {
    failure = error;
  }
  {
    std::lock_guard lock(mutex_);
    ended_ = true;
    serving_ = false;
    port_ = 0;
    listening_.clear();
    servingSinceNs_ = 0;
    result_ = failure;
  }
  changed_.notify_all();
}

RpcThread::ConnectionState& RpcThread::StateOf(int fd) {
  const auto index = static_cast<size_t>(fd);
  if (index >= states_.size()) states_.resize(index + 1);
  return states_[index];
}

void RpcThread::Serve(int listenerFd) {
  std::vector<pollfd> fds;
  for (;;) {
    // The library's descriptors, then our wake-up descriptor last, so the
    // library's part can be handed back to it as it is. A held connection
    // is watched for room to write, or, until it is asked again, only for
    // its end; its calls wait in its socket.
    fds.assign(svc_pollfd, svc_pollfd + svc_max_pollfd);
    bool later = false;
    const uint64_t start = SteadyNowNs();
    if (listenerRestsUntilNs_ != 0 && start >= listenerRestsUntilNs_) listenerRestsUntilNs_ = 0;
    for (pollfd& descriptor : fds) {
      if (descriptor.fd < 0) continue;
      if (descriptor.fd == listenerFd) {
        if (listenerRestsUntilNs_ != 0) descriptor.events = 0;
        continue;
      }
      const Hold hold = StateOf(descriptor.fd).hold;
      if (hold == Hold::kUntilWritable) descriptor.events = POLLOUT;
      if (hold == Hold::kUntilLater) {
        descriptor.events = 0;
        later = true;
      }
    }
    if (!later) {
      recheckAtNs_ = 0;
    } else if (recheckAtNs_ == 0) {
      recheckAtNs_ = start + kRecheckNs;
    }
    const int timeoutMs = TimeoutUntil({recheckAtNs_, listenerRestsUntilNs_}, start);
    fds.push_back(pollfd{wakeFd_, POLLIN, 0});
    const int ready = poll(fds.data(), fds.size(), timeoutMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds.back().revents != 0) return;
    fds.pop_back();
    const bool recheck = later && SteadyNowNs() >= recheckAtNs_;
    if (recheck) recheckAtNs_ = 0;
    // fds[i] is the library's slot i: after a turn, a slot whose descriptor
    // changed lost its connection (a client closed, or the library dropped it).
    for (size_t slot = 0; slot < fds.size(); ++slot) {
      pollfd& descriptor = fds[slot];
      const bool client = descriptor.fd >= 0 && descriptor.fd != listenerFd;
      if (client && StateOf(descriptor.fd).hold != Hold::kNone) {
        ConnectionState& state = StateOf(descriptor.fd);
        if (!HasEnded(descriptor)) {
          const bool writable = (descriptor.revents & POLLOUT) != 0;
          if (writable || (recheck && state.hold == Hold::kUntilLater)) RecheckHeld(descriptor.fd, writable);
          continue;
        }
        // It hung up or failed: the library reads that and closes it.
        state.hold = Hold::kNone;
      }
      if (descriptor.revents == 0) continue;
      ServeTurn(descriptor, client);
      if (descriptor.fd == listenerFd) {
        if (!TrackAll(listenerFd)) MakeRoomToAccept(listenerFd, SteadyNowNs());
      } else if (Track(slot, listenerFd)) {
        PublishConnections();
      }
      if (stopping_.load(std::memory_order_relaxed)) return;
    }
  }
}

bool RpcThread::TakeRoom(int fd) {
  ConnectionState& state = StateOf(fd);
  if (state.room == 0) state.room = AnswersThatFit(fd);
  if (state.room == 0) {
    // Its client does not read what it was sent: rather than wait to write
    // (the library would spin on the socket for seconds, then give up on
    // the connection), leave its calls unread until its answers move.
    state.hold = Hold::kUntilWritable;
    return false;
  }
  --state.room;
  return true;
}

void RpcThread::RecheckHeld(int fd, bool writable) {
  ConnectionState& state = StateOf(fd);
  state.room = AnswersThatFit(fd);
  if (state.room > 0) {
    state.hold = Hold::kNone;
    return;
  }
  // Writable but not for an answer: poll would say so again at once.
  state.hold = writable ? Hold::kUntilLater : Hold::kUntilWritable;
}

void RpcThread::ServeTurn(pollfd& descriptor, bool client) {
  const int fd = descriptor.fd;
  if (client && !HasEnded(descriptor) && !TakeRoom(fd)) return;
  uint64_t before = g_dispatched;
  svc_getreq_poll(&descriptor, 1);
  if (g_dispatched == before) {
    // No whole record: the listener, a closed or stalled client, or one the
    // library refused. Looking ahead starts afresh (a closed connection's
    // whole state goes when Track sees its slot change).
    if (client) {
      ConnectionState& state = StateOf(fd);
      state.misses = 0;
      state.wait = 0;
    }
    return;
  }
  ConnectionState& state = StateOf(fd);
  state.activeNs = SteadyNowNs();
  if (state.wait > 0) {
    --state.wait;
    return;
  }
  // The library reads no further than the record it assembles, so whether
  // the next one is already there is only learnt by asking for it: a read
  // that saves a poll when it finds a record, and costs one when it does
  // not. A client that waits for each answer makes it find nothing, so each
  // miss in a row doubles the turns without a look-ahead (up to 63); one hit
  // brings it back to every turn.
  int served = 1;
  while (served < kRecordsPerTurn && !stopping_.load(std::memory_order_relaxed)) {
    if (!TakeRoom(fd)) return;
    before = g_dispatched;
    svc_getreq_common(fd);
    if (g_dispatched == before) break;
    ++served;
  }
  if (served > 1) {
    state.misses = 0;
  } else {
    state.misses = std::min<uint8_t>(state.misses + 1, kMaxLookAheadMisses);
    state.wait = static_cast<uint8_t>((1u << state.misses) - 1);
  }
}

}  // namespace NFS::NSL
