#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "host/Error.h"

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

 private:
  void Body();
  void Serve(int listenerFd);
  // Serves one descriptor that poll found ready, and then records that are
  // already there on it, a bounded number, before the next poll.
  void ServeTurn(pollfd& descriptor);

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
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool serving_ = false;
  bool ended_ = false;
  uint16_t port_ = 0;
  Common::Error result_;
  std::thread thread_;
};

}  // namespace NFS::NSL
