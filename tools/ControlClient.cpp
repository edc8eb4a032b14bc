#include "tools/ControlClient.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/ControlSocket.h"

namespace Tools {

ControlClient::~ControlClient() {
  if (fd_ >= 0) close(fd_);
}

bool ControlClient::Open(const std::string& socketPath, std::string& problem) {
  fd_ = ConnectToHost(socketPath, problem);
  return fd_ >= 0;
}

bool ControlClient::Run(const std::string& command, nlohmann::json& response, std::string& problem) {
  const std::string line =
      nlohmann::json({{"command", command}, {"request", nlohmann::json::object()}}).dump() + "\n";
  if (fd_ < 0 || send(fd_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
    problem = std::string("Cannot send the request: ") + std::strerror(errno);
    return false;
  }
  size_t newline;
  char buffer[65536];
  while ((newline = pending_.find('\n')) == std::string::npos) {
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      problem = "The host closed the connection without an answer.";
      return false;
    }
    pending_.append(buffer, static_cast<size_t>(n));
  }
  const std::string answer = pending_.substr(0, newline);
  pending_.erase(0, newline + 1);
  nlohmann::json reply;
  try {
    reply = nlohmann::json::parse(answer);
  } catch (const nlohmann::json::exception&) {
    problem = "The host's answer is not understood.";
    return false;
  }
  if (reply.is_object() && reply.value("ok", false) && reply.contains("response") && reply["response"].is_object()) {
    response = reply["response"];
    return true;
  }
  problem.clear();
  if (reply.is_object() && reply.contains("error") && reply["error"].is_array()) {
    for (const auto& record : reply["error"]) {
      if (!record.is_object()) continue;
      const auto code = record.find("code");
      const auto message = record.find("message");
      if (!problem.empty()) problem += "\n";
      problem += (code != record.end() && code->is_string() ? code->get<std::string>() : std::string("?")) + ": " +
                 (message != record.end() && message->is_string() ? message->get<std::string>() : std::string());
    }
  }
  if (problem.empty()) problem = "The host's answer is not understood.";
  return false;
}

bool DocumentOf(const nlohmann::json& response, const char* property, nlohmann::json& document,
                std::string& problem) {
  const auto text = response.find(property);
  if (text == response.end() || !text->is_string()) {
    problem = std::string("The host's answer has no '") + property + "' (is its NFS module older than this program?)";
    return false;
  }
  try {
    document = nlohmann::json::parse(text->get<std::string>());
  } catch (const nlohmann::json::exception&) {
    problem = std::string("The host's '") + property + "' is not JSON.";
    return false;
  }
  if (!document.is_object()) {
    problem = std::string("The host's '") + property + "' is not a JSON object.";
    return false;
  }
  return true;
}

}  // namespace Tools
