#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace Host {

// One IPv4 or IPv6 network: an address and how many of its leading bits
// count. A single address is a network of 32 (or 128) bits.
struct IpNetwork {
  int family = AF_INET;  // AF_INET or AF_INET6
  std::array<uint8_t, 16> bytes{};
  unsigned prefix = 32;
};

// Which client addresses may use a service: a list of networks, or
// everyone. Matching is a few comparisons, cheap enough for every call.
class ClientNetworks {
 public:
  // Loopback only: 127.0.0.0/8 and ::1.
  ClientNetworks();

  // "192.168.1.0/24,10.1.2.3,fd00::/8" or "*". False, with a reason that
  // names the bad entry, for anything else (an empty list among them).
  static bool Parse(const std::string& text, ClientNetworks& networks, std::string& why);
  static ClientNetworks Everyone();

  bool AllowsEveryone() const { return everyone_; }
  // An IPv4-mapped IPv6 address ("::ffff:192.0.2.7") counts as the IPv4
  // address it carries. Other families are never allowed unless everyone is.
  bool Contains(const sockaddr* address, socklen_t size) const;
  // The list in the form Parse takes, each network in its shortest form.
  std::string ToString() const;

 private:
  bool everyone_ = false;
  std::vector<IpNetwork> networks_;
};

// An IPv4 or IPv6 literal ("127.0.0.2", "::1", "0.0.0.0"); false for
// anything else, host names among them.
bool ParseIpAddress(const std::string& text, IpNetwork& address);

// "192.0.2.7", "2001:db8::1"; IPv4-mapped IPv6 addresses as IPv4.
std::string FormatIpAddress(const sockaddr* address, socklen_t size);
// The same with the port: "192.0.2.7:812", "[2001:db8::1]:812".
std::string FormatSocketAddress(const sockaddr* address, socklen_t size);

}  // namespace Host
