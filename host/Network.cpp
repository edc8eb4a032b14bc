#include "host/Network.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <charconv>
#include <cstring>

namespace Host {

namespace {

constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return {};
  const size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

bool ParseNetwork(const std::string& entry, IpNetwork& network, std::string& why) {
  const size_t slash = entry.find('/');
  const std::string address = entry.substr(0, slash);
  if (!ParseIpAddress(address, network)) {
    why = "'" + entry + "' is not an IPv4 or IPv6 address or network (as in 192.168.1.0/24 or fd00::/8)";
    return false;
  }
  const unsigned bits = network.family == AF_INET ? 32 : 128;
  network.prefix = bits;
  if (slash != std::string::npos) {
    const std::string prefix = entry.substr(slash + 1);
    unsigned value = 0;
    const auto [end, error] = std::from_chars(prefix.data(), prefix.data() + prefix.size(), value);
    if (prefix.empty() || error != std::errc() || end != prefix.data() + prefix.size() || value > bits) {
      why = "'" + entry + "' has a prefix length that is not a number from 0 to " + std::to_string(bits);
      return false;
    }
    network.prefix = value;
  }
  // The address bits beyond the prefix are not part of the network: a
  // list written as 192.168.1.7/24 means 192.168.1.0/24.
  for (unsigned bit = network.prefix; bit < bits; ++bit) {
    network.bytes[bit / 8] = static_cast<uint8_t>(network.bytes[bit / 8] & ~(0x80u >> (bit % 8)));
  }
  return true;
}

bool Matches(const IpNetwork& network, const uint8_t* bytes) {
  const unsigned whole = network.prefix / 8;
  if (std::memcmp(network.bytes.data(), bytes, whole) != 0) return false;
  const unsigned rest = network.prefix % 8;
  if (rest == 0) return true;
  const auto mask = static_cast<uint8_t>(0xffu << (8 - rest));
  return (network.bytes[whole] & mask) == (bytes[whole] & mask);
}

// The address of a socket address as a network of its full length, with
// IPv4-mapped IPv6 addresses turned into IPv4. False for other families.
bool AddressOf(const sockaddr* address, socklen_t size, IpNetwork& out) {
  if (address == nullptr) return false;
  if (address->sa_family == AF_INET && size >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    out.family = AF_INET;
    out.prefix = 32;
    std::memcpy(out.bytes.data(), &v4->sin_addr, 4);
    return true;
  }
  if (address->sa_family == AF_INET6 && size >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&v6->sin6_addr);
    if (std::memcmp(bytes, kMappedPrefix, sizeof kMappedPrefix) == 0) {
      out.family = AF_INET;
      out.prefix = 32;
      std::memcpy(out.bytes.data(), bytes + 12, 4);
    } else {
      out.family = AF_INET6;
      out.prefix = 128;
      std::memcpy(out.bytes.data(), bytes, 16);
    }
    return true;
  }
  return false;
}

std::string FormatBytes(const IpNetwork& address) {
  char text[INET6_ADDRSTRLEN] = "?";
  inet_ntop(address.family, address.bytes.data(), text, sizeof text);
  return text;
}

}  // namespace

ClientNetworks::ClientNetworks() {
  IpNetwork v4;
  ParseIpAddress("127.0.0.0", v4);
  v4.prefix = 8;
  IpNetwork v6;
  ParseIpAddress("::1", v6);
  networks_ = {v4, v6};
}

ClientNetworks ClientNetworks::Everyone() {
  ClientNetworks networks;
  networks.everyone_ = true;
  networks.networks_.clear();
  return networks;
}

bool ClientNetworks::Parse(const std::string& text, ClientNetworks& networks, std::string& why) {
  ClientNetworks parsed;
  parsed.networks_.clear();
  size_t begin = 0;
  for (;;) {
    const size_t comma = text.find(',', begin);
    const std::string entry = Trim(text.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin));
    if (entry.empty()) {
      why = text.find_first_not_of(" \t,") == std::string::npos ? "the list of clients is empty (give * for everyone)"
                                                                 : "the list of clients has an empty entry";
      return false;
    }
    if (entry == "*") {
      parsed.everyone_ = true;
    } else {
      IpNetwork network;
      if (!ParseNetwork(entry, network, why)) return false;
      parsed.networks_.push_back(network);
    }
    if (comma == std::string::npos) break;
    begin = comma + 1;
  }
  if (parsed.everyone_) parsed.networks_.clear();
  networks = std::move(parsed);
  return true;
}

bool ClientNetworks::Contains(const sockaddr* address, socklen_t size) const {
  if (everyone_) return true;
  IpNetwork peer;
  if (!AddressOf(address, size, peer)) return false;
  for (const IpNetwork& network : networks_) {
    if (network.family == peer.family && Matches(network, peer.bytes.data())) return true;
  }
  return false;
}

std::string ClientNetworks::ToString() const {
  if (everyone_) return "*";
  std::string text;
  for (const IpNetwork& network : networks_) {
    if (!text.empty()) text += ",";
    text += FormatBytes(network);
    if (network.prefix != (network.family == AF_INET ? 32u : 128u)) text += "/" + std::to_string(network.prefix);
  }
  return text;
}

bool ParseIpAddress(const std::string& text, IpNetwork& address) {
  IpNetwork parsed;
  if (inet_pton(AF_INET, text.c_str(), parsed.bytes.data()) == 1) {
    parsed.family = AF_INET;
    parsed.prefix = 32;
  } else if (inet_pton(AF_INET6, text.c_str(), parsed.bytes.data()) == 1) {
    parsed.family = AF_INET6;
    parsed.prefix = 128;
  } else {
    return false;
  }
  address = parsed;
  return true;
}

std::string FormatIpAddress(const sockaddr* address, socklen_t size) {
  IpNetwork peer;
  if (!AddressOf(address, size, peer)) return "?";
  return FormatBytes(peer);
}

std::string FormatSocketAddress(const sockaddr* address, socklen_t size) {
  IpNetwork peer;
  if (!AddressOf(address, size, peer)) return "?";
  // Both families keep the port at the same place.
  const uint16_t port = ntohs(reinterpret_cast<const sockaddr_in*>(address)->sin_port);
  const std::string host = FormatBytes(peer);
  return (peer.family == AF_INET6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace Host
