#include "app/MetricsServer.h"

#include <httplib.h>

#include <charconv>
#include <thread>

#include "host/Logging.h"
#include "host/Messages.h"

namespace Host {

namespace {

constexpr uint32_t kMetricsError = 0x100000C;
constexpr Common::Message kBindFailed{0x100000D0,
                                      "Cannot serve metrics on '{0}' port {1}: the address is not one of this machine's or the port is taken."};
constexpr Common::Message kServing{0x100000D1, "Serving metrics on http://{0}:{1}/metrics."};
constexpr uint32_t kChannel = 256;  // the host's own
constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

class MetricsServerImpl : public MetricsServer {
 public:
  MetricsServerImpl(Core::CommandRunner& commands, ListenAddress address, std::string command,
                    std::string requestType)
      : commands_(commands),
        address_(std::move(address)),
        command_(std::move(command)),
        requestType_(std::move(requestType)) {}

  ~MetricsServerImpl() override { Stop(); }

  void Start() override {
    // Scrapes are rare and small: two workers are plenty, and bound what a
    // flood of connections can take.
    server_.new_task_queue = [] { return new httplib::ThreadPool(2); };
    server_.set_read_timeout(5, 0);
    server_.set_write_timeout(5, 0);
    server_.Get("/metrics", [this](const httplib::Request&, httplib::Response& response) { Answer(response); });
    if (!server_.bind_to_port(address_.host.c_str(), address_.port)) {
      throw Common::Error(kMetricsError, Common::FormatMessage(kBindFailed, address_.host, address_.port));
    }
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    Common::Notice(kChannel, kServing, address_.host, address_.port);
  }

  void Stop() override {
    if (!thread_.joinable()) return;
    server_.stop();
    thread_.join();
  }

 private:
  void Answer(httplib::Response& response) {
    try {
      const Core::Record answer = commands_.Run(command_, Core::Record(requestType_)).get();
      response.set_content(Common::ToUtf8(answer.GetOr<Common::WString>("Text", {})), kContentType);
    } catch (const Common::Error& error) {
      response.status = 500;
      response.set_content(error.Describe() + "\n", "text/plain; charset=utf-8");
    } catch (const std::exception& error) {
      response.status = 500;
      response.set_content(std::string(error.what()) + "\n", "text/plain; charset=utf-8");
    }
  }

  Core::CommandRunner& commands_;
  ListenAddress address_;
  std::string command_;
  std::string requestType_;
  httplib::Server server_;
  std::thread thread_;
};

}  // namespace

bool ParseListenAddress(const std::string& text, ListenAddress& address, std::string& why) {
  std::string host;
  std::string port;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      why = "an IPv6 address goes in brackets before the port, as in [::1]:9587";
      return false;
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || text.find(':') != colon) {
      why = "give ADDRESS:PORT, as in 127.0.0.1:9587";
      return false;
    }
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (host.empty()) {
    why = "the address is missing (0.0.0.0 means every interface)";
    return false;
  }
  unsigned value = 0;
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (port.empty() || error != std::errc() || end != port.data() + port.size() || value == 0 || value > 65535) {
    why = "the port must be a number from 1 to 65535";
    return false;
  }
  address = {host, static_cast<uint16_t>(value)};
  return true;
}

std::unique_ptr<MetricsServer> CreateMetricsServer(Core::CommandRunner& commands, ListenAddress address,
                                                   std::string command, std::string requestType) {
  return std::make_unique<MetricsServerImpl>(commands, std::move(address), std::move(command), std::move(requestType));
}

}  // namespace Host
