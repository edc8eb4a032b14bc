#include "tools/NfsUrl.h"

#include <arpa/inet.h>

#include <charconv>
#include <climits>
#include <string>

namespace Tools {

namespace {

std::optional<long long> Integer(std::string_view text) {
  long long value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
  return value;
}

int Port(std::string_view text, const std::string& what) {
  const auto value = Integer(text);
  if (!value || *value < 1 || *value > 65535 || text.front() == '-' || text.front() == '+') {
    throw BadNfsUrl(what + " must be a number from 1 to 65535");
  }
  return static_cast<int>(*value);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Decode(std::string_view text) {
  std::string decoded;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      decoded.push_back(text[i]);
      continue;
    }
    const int high = i + 2 < text.size() ? HexDigit(text[i + 1]) : -1;
    const int low = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
    if (high < 0 || low < 0) throw BadNfsUrl("a '%' must be followed by two hex digits");
    decoded.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return decoded;
}

bool HostNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_';
}

// "[address]" or "[address%25zone]"; the zone is kept for the resolver.
std::string Ipv6Literal(std::string_view inside) {
  std::string_view address = inside;
  std::string zone;
  if (const size_t percent = inside.find('%'); percent != std::string_view::npos) {
    address = inside.substr(0, percent);
    zone = Decode(inside.substr(percent));
    if (zone.size() < 2 || zone.front() != '%') throw BadNfsUrl("an IPv6 zone is written %25 and its name");
    for (char c : zone.substr(1)) {
      if (!HostNameCharacter(c)) throw BadNfsUrl("the IPv6 zone name holds a character it cannot have");
    }
  }
  in6_addr parsed{};
  if (inet_pton(AF_INET6, std::string(address).c_str(), &parsed) != 1) {
    throw BadNfsUrl("the host in brackets is not an IPv6 address");
  }
  return std::string(address) + zone;
}

void Authority(std::string_view authority, NfsUrl& url) {
  if (authority.find('@') != std::string_view::npos) throw BadNfsUrl("user names in the URL are not supported");
  std::string_view port;
  bool hasPort = false;
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) throw BadNfsUrl("an IPv6 address opened with '[' needs its ']'");
    url.host = Ipv6Literal(authority.substr(1, close - 1));
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') throw BadNfsUrl("only ':PORT' may follow the ']' of an IPv6 address");
      port = after.substr(1);
      hasPort = true;
    }
  } else {
    const size_t colon = authority.find(':');
    if (colon != std::string_view::npos && authority.find(':', colon + 1) != std::string_view::npos) {
      throw BadNfsUrl("an IPv6 address must be written in brackets, as in nfs://[::1]:2029/share");
    }
    const std::string_view name = authority.substr(0, colon);
    for (char c : name) {
      if (!HostNameCharacter(c)) throw BadNfsUrl("the host name holds a character it cannot have");
    }
    url.host = std::string(name);
    if (colon != std::string_view::npos) {
      port = authority.substr(colon + 1);
      hasPort = true;
    }
  }
  if (url.host.empty()) throw BadNfsUrl("the URL needs a host");
  if (hasPort) url.nfsPort = url.mountPort = Port(port, "the port");
}

void Path(std::string_view path, NfsUrl& url) {
  std::vector<std::string> parts;
  size_t begin = 0;
  while (begin <= path.size()) {
    size_t end = path.find('/', begin);
    if (end == std::string_view::npos) end = path.size();
    if (end > begin) {
      std::string part = Decode(path.substr(begin, end - begin));
      if (part.find('/') != std::string::npos || part.find('\0') != std::string::npos) {
        throw BadNfsUrl("a name in the path cannot hold '/' or NUL (%2F, %00)");
      }
      parts.push_back(std::move(part));
    }
    begin = end + 1;
  }
  if (parts.empty()) throw BadNfsUrl("the URL needs a share after the host, as in nfs://HOST/share");
  url.share = "/" + parts.front();
  url.names.assign(parts.begin() + 1, parts.end());
}

void QueryPair(const std::string& rawKey, const std::string& key, const std::string& value, NfsUrl& url) {
  auto number = [&](long long lowest, long long highest) {
    const auto parsed = Integer(value);
    if (!parsed || *parsed < lowest || *parsed > highest) {
      throw BadNfsUrl(rawKey + " must be a number from " + std::to_string(lowest) + " to " + std::to_string(highest));
    }
    return static_cast<int>(*parsed);
  };
  if (key == "version") {
    if (value != "3") throw BadNfsUrl("this client speaks NFS version 3 only (version=3)");
  } else if (key == "nfsport") {
    url.nfsPort = Port(value, "nfsport");
  } else if (key == "mountport") {
    url.mountPort = Port(value, "mountport");
  } else if (key == "uid") {
    url.uid = number(0, INT_MAX);
  } else if (key == "gid") {
    url.gid = number(0, INT_MAX);
  } else if (key == "auto-traverse-mounts" || key == "dircache") {
    // This client neither caches nor crosses into nested exports.
    number(0, 1);
  } else if (key == "autoreconnect") {
    number(-1, INT_MAX);  // every command is one connection, not retried
  } else if (key == "tcp-syncnt" || key == "debug" || key == "readahead" || key == "pagecache" ||
             key == "pagecache-ttl") {
    number(0, INT_MAX);  // libnfs's socket and cache tuning; no effect on single waited calls
  } else if (key == "if") {
    throw BadNfsUrl("binding to an interface (if=) is not supported by this client");
  } else {
    throw BadNfsUrl("unknown query key '" + rawKey + "'");
  }
}

void Query(std::string_view query, NfsUrl& url) {
  size_t begin = 0;
  while (begin <= query.size()) {
    size_t end = query.find('&', begin);
    if (end == std::string_view::npos) end = query.size();
    const std::string_view pair = query.substr(begin, end - begin);
    if (!pair.empty()) {
      const size_t equals = pair.find('=');
      if (equals == std::string_view::npos) {
        throw BadNfsUrl("the query key '" + std::string(pair) + "' needs '=' and a value");
      }
      const std::string rawKey(pair.substr(0, equals));
      QueryPair(rawKey, Decode(rawKey), Decode(pair.substr(equals + 1)), url);
    }
    begin = end + 1;
  }
}

}  // namespace

NfsUrl ParseNfsUrl(std::string_view text) {
  // Nothing later echoes text that could break the one-line error.
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7f) throw BadNfsUrl("the URL holds a space or a control character");
  }
  constexpr std::string_view kScheme = "nfs://";
  std::string scheme(text.substr(0, kScheme.size()));
  for (char& c : scheme) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (scheme != kScheme) throw BadNfsUrl("the URL must start with nfs://");
  std::string_view rest = text.substr(kScheme.size());
  if (rest.find('#') != std::string_view::npos) throw BadNfsUrl("a URL fragment ('#') has no meaning here");

  std::string_view query;
  if (const size_t question = rest.find('?'); question != std::string_view::npos) {
    query = rest.substr(question + 1);
    rest = rest.substr(0, question);
  }
  const size_t slash = rest.find('/');
  NfsUrl url;
  Authority(rest.substr(0, slash), url);
  Path(slash == std::string_view::npos ? std::string_view() : rest.substr(slash), url);
  Query(query, url);
  return url;
}

}  // namespace Tools
