#pragma once

#include <sys/types.h>

#include <atomic>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "host/Commands.h"
#include "host/Error.h"
#include "host/Streams.h"

namespace Host {

// A local Unix-domain socket, owner-only, that accepts one JSON request per
// line and answers each with one JSON line. Requests run through the host's
// command runner; every connection has a thread of its own. A watch request,
// {"watch": "NFS::FileEvents"}, turns its connection into a stream of one
// JSON line per item of that stream until either side closes it.
class ControlChannel {
 public:
  // Connections served at once. One more is answered with an error line and
  // closed at once rather than left waiting: a waiting client could not tell
  // a busy host from a hung one, and idle clients could queue without bound.
  static constexpr size_t kMaxConnections = 64;

  // Items waiting for one watcher; more are dropped and counted.
  static constexpr size_t kWatchQueueCapacity = 1024;

  ControlChannel(Core::CommandRunner& runner, std::string path);
  // With the streams that watch requests may name.
  ControlChannel(Core::CommandRunner& runner, Core::Streams& streams, std::string path);
  ~ControlChannel();  // Stop()
  ControlChannel(const ControlChannel&) = delete;
  ControlChannel& operator=(const ControlChannel&) = delete;

  // Throws Common::Error when the socket cannot be made.
  void Start();
  // Takes no more requests: the socket is removed, idle connections are
  // closed and lines not yet started are refused. Requests already running
  // finish and are answered; returns once none runs. Safe to call again.
  void Stop();
  // One request line in, one answer line out (without the newline). Never
  // throws for anything a command does.
  std::string Answer(const std::string& line);

 private:
  struct Connection {
    explicit Connection(int descriptor) : fd(descriptor) {}
    int fd;  // closed and set to -1, under the mutex, by its own thread
    bool done = false;
    std::thread thread;
  };

  void AcceptLoop();
  void Admit(int fd);
  void Serve(Connection& connection);
  // Streams the items of `name` to the connection until it closes or the
  // channel stops. Whether the connection is still open for requests: only
  // when the watch was refused.
  bool Watch(int fd, const std::string& name);
  void ReapFinished();

  Core::CommandRunner& runner_;
  Core::Streams* streams_ = nullptr;
  std::string path_;
  int listener_ = -1;
  // The socket this channel bound, so that only it is removed at the end.
  bool bound_ = false;
  dev_t boundDevice_ = 0;
  ino_t boundInode_ = 0;
  int wake_[2] = {-1, -1};
  std::thread acceptor_;
  std::mutex mutex_;
  std::list<Connection> connections_;
  std::atomic<bool> stopping_{false};
};

}  // namespace Host
