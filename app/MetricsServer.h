#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/Commands.h"
#include "host/Error.h"

namespace Host {

// Where the metrics page listens: an IPv4 address or a host name, or an
// IPv6 address in brackets, then a port ("127.0.0.1:9587", "[::1]:9587").
struct ListenAddress {
  std::string host;
  uint16_t port = 0;
};

// False, with the reason, for text that is not such an address.
bool ParseListenAddress(const std::string& text, ListenAddress& address, std::string& why);

// Serves GET /metrics over HTTP: the text the metrics command answers (its
// response property "Text"), in the Prometheus text format. Anything else
// gets 404; a failing command gets 500 with its message. Off unless started.
class MetricsServer {
 public:
  virtual ~MetricsServer() = default;
  // Binds now, so a taken port or an address of no interface is a start-up
  // error (Common::Error), then serves on threads of its own.
  virtual void Start() = 0;
  virtual void Stop() = 0;
};

// `command` answers with the text; it is run with an empty `requestType` record.
std::unique_ptr<MetricsServer> CreateMetricsServer(Core::CommandRunner& commands, ListenAddress address,
                                                   std::string command, std::string requestType);

}  // namespace Host
