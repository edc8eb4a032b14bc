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
  // Listens on listenAddress (an IPv4 or IPv6 literal; empty for every
  // interface of both families) at port, or at the fixed port 2029 (any
  // port when that is taken) when port is 0.
  RpcThread(std::string listenAddress, uint16_t port);
  // Ends the request loop at once (after the request in hand, if any),
  // closes every connection and the listener, and waits for the thread.
  ~RpcThread();
  RpcThread(const RpcThread&) = delete;
  RpcThread& operator=(const RpcThread&) = delete;

  // Waits until the thread serves, ends, or the time is up; returns the
  // error that ended it, or success.
  Common::Error WaitForStartup(std::chrono::milliseconds limit);

  uint16_t GetPort() const;
  // "[::]:2029", "127.0.0.2:2049"; empty until the thread serves.
  std::string GetListenAddress() const;
  // The steady clock (SteadyNowNs) when the thread began to serve; 0 until then.
  uint64_t GetServingSinceNs() const;
  // The client connections as the thread last published them.
  std::vector<ClientConnection> GetConnections() const;

 private:
  void Body();
  void Serve(int listenerFd);
  // Serves one descriptor that poll found ready, and then records that are
  // already there on it, a bounded number, before the next poll. A client
  // connection is served only while its answers fit into its socket.
  void ServeTurn(pollfd& descriptor, bool client);
  // Whether one more answer fits into the connection's socket now; when it
  // does not, the connection is held until it does.
  bool TakeRoom(int fd);
  // Asks the socket of a held connection again, when poll says it is
  // writable or the time to ask has come: releases it when an answer fits.
  void RecheckHeld(int fd, bool writable);
  // Compares one slot of the library's poll table with what was seen there
  // before: counts a connection accepted or closed. Returns whether it changed.
  bool Track(size_t slot, int listenerFd);
  // Every slot, after the listener's turn. Returns whether any changed.
  bool TrackAll(int listenerFd);
  // After a listener's turn that accepted nothing: when the process is out
  // of descriptors, makes room by closing the least active connection, or,
  // with none to close, rests the listener for a while (it stays readable,
  // and the library only tries to accept again).
  void MakeRoomToAccept(int listenerFd, uint64_t nowNs);
  void PublishConnections();
  void ForgetConnections(int listenerFd);

  const std::string listenAddress_;
  const uint16_t requestedPort_;
  int wakeFd_ = -1;
  // Set before the wake-up, so a turn of pipelined records ends too.
  std::atomic<bool> stopping_{false};
  // Why a connection's calls are not being read: its answers back up in
  // its socket (a client that does not read them), and the thread waits
  // for poll to say it can write, or, when poll says so before an answer
  // fits, for the next time it asks again.
  enum class Hold : uint8_t { kNone, kUntilWritable, kUntilLater };
  // Per connection, by descriptor: whether looking for a next record has
  // been paying off (misses in a row, and turns left without looking), how
  // many more answers are known to fit into its socket, and its hold.
  struct ConnectionState {
    uint8_t misses = 0;
    uint8_t wait = 0;
    uint8_t room = 0;
    Hold hold = Hold::kNone;
    // When it was accepted or last had a call served (SteadyNowNs).
    uint64_t activeNs = 0;
  };
  ConnectionState& StateOf(int fd);
  std::vector<ConnectionState> states_;
  // When connections held until later are asked again; 0 when none is.
  uint64_t recheckAtNs_ = 0;
  // Until when the listener rests, out of descriptors; 0 when it does not.
  uint64_t listenerRestsUntilNs_ = 0;
  // When the last closing for want of descriptors was logged.
  uint64_t closedForRoomLoggedNs_ = 0;
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
  std::string listening_;
  uint64_t servingSinceNs_ = 0;
  Common::Error result_;
  std::thread thread_;
};

}  // namespace NFS::NSL
