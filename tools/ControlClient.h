#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace Tools {

// One connection to a running host's control socket, for clients that ask
// for documents and show them. It is opened only when the socket belongs to
// this user or root, in a folder no other user may change, and is served by
// a process of this user or root (as "call" requires).
class ControlClient {
 public:
  ControlClient() = default;
  ~ControlClient();
  ControlClient(const ControlClient&) = delete;
  ControlClient& operator=(const ControlClient&) = delete;

  // False with `problem` set when the socket cannot be used.
  bool Open(const std::string& socketPath, std::string& problem);
  // Runs a command without properties and returns its response object.
  // False with `problem` set (the host's error chain, one record a line,
  // when the command failed).
  bool Run(const std::string& command, nlohmann::json& response, std::string& problem);

 private:
  int fd_ = -1;
  std::string pending_;
};

// The document a monitoring command carries in its one string property.
// False with `problem` set when the response has none or it is not JSON.
bool DocumentOf(const nlohmann::json& response, const char* property, nlohmann::json& document,
                std::string& problem);

}  // namespace Tools
