#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/Error.h"
#include "service_lib/nsl/Service.h"

namespace NFS::NSL {

// The one thread that prepares the TCP transport, registers MOUNT and NFS
// and serves requests one at a time until it is stopped.
class RpcThread {
 public:
  RpcThread();
  // Ends the request loop at once (after the request in hand, if any),
  // closes every connection and the listener, and waits for the thread.
  ~RpcThread();
  RpcThread(const RpcThread&) = delete;
  RpcThread& operator=(const RpcThread&) = delete;

  // Waits until the thread serves, ends, or the time is up; returns the
  // error that ended it, or success.
  Common::Error WaitForStartup(std::chrono::milliseconds limit);

  uint16_t GetPort() const;
  // The steady clock (SteadyNowNs) when the thread began to serve; 0 until then.
  uint64_t GetServingSinceNs() const;
  // The client connections as the thread last published them.
  std::vector<ClientConnection> GetConnections() const;

 private:
  void Body();
  void Serve(int listenerFd);
  // Serves one descriptor that poll found ready, and then records that are
  // already there on it, a bounded number, before the next poll.
  void ServeTurn(pollfd& descriptor);
  // Compares one slot of the library's poll table with what was seen there
  // before: counts a connection accepted or closed. Returns whether it changed.
  bool Track(size_t slot, int listenerFd);
  // Every slot, after the listener's turn (it accepts; on running out of
  // descriptors the library also closes an idle connection then).
  void TrackAll(int listenerFd);
  void PublishConnections();
  void ForgetConnections(int listenerFd);

  int wakeFd_ = -1;
  // Set before the wake-up, so a turn of pipelined records ends too.
  std::atomic<bool> stopping_{false};
  // Per connection, by descriptor, whether looking for a next record has
  // been paying off: misses in a row, and turns left without looking.
  struct LookAhead {
    uint8_t misses = 0;
    uint8_t wait = 0;
  };
  std::vector<LookAhead> lookAheads_;
  // Per slot of the library's poll table, the descriptor last seen there
  // and, for a client, its peer. RPC thread only: only it may look at the
  // library's table. A copy goes to published_ when a connection comes or
  // goes, never per request.
  struct Tracked {
    int fd = -1;
    ClientConnection connection;
  };
  std::vector<Tracked> tracked_;
  mutable std::mutex connectionsMutex_;
  std::vector<ClientConnection> published_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool serving_ = false;
  bool ended_ = false;
  uint16_t port_ = 0;
  uint64_t servingSinceNs_ = 0;
  Common::Error result_;
  std::thread thread_;
};

}  // namespace NFS::NSL
