#pragma once

#include <atomic>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "host/Commands.h"
#include "host/Error.h"

namespace Host {

// A local Unix-domain socket, owner-only, that accepts one JSON request per
// line and answers each with one JSON line. Requests run through the host's
// command runner; every connection has a thread of its own.
class ControlChannel {
 public:
  ControlChannel(Core::CommandRunner& runner, std::string path);
  ~ControlChannel();  // stops serving and removes the socket
  ControlChannel(const ControlChannel&) = delete;
  ControlChannel& operator=(const ControlChannel&) = delete;

  // Throws when the socket cannot be made.
  void Start();
  // One request line in, one answer line out (without the newline).
  std::string Answer(const std::string& line);

 private:
  void AcceptLoop();
  void Serve(int fd);

  Core::CommandRunner& runner_;
  std::string path_;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  std::thread acceptor_;
  std::mutex mutex_;
  std::list<std::pair<int, std::thread>> connections_;
  std::atomic<bool> stopping_{false};
};

}  // namespace Host
