#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace Tools {

// nfs://HOST[:PORT]/SHARE[/PATH][?KEY=VALUE&...] taken apart. HOST is a name,
// an IPv4 address or an IPv6 literal in brackets; the port serves both NFS
// and MOUNT unless the query names "nfsport" or "mountport".
struct NfsUrl {
  static constexpr int kDefaultPort = 2029;

  std::string host;                // without brackets; a zone follows '%'
  int nfsPort = kDefaultPort;
  int mountPort = kDefaultPort;
  std::string share;               // "/share"
  std::vector<std::string> names;  // the path below the share, decoded
  std::optional<int> uid;          // the credentials sent, when given
  std::optional<int> gid;
};

// A URL that cannot be used; what() is one line that does not repeat the URL.
class BadNfsUrl : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws BadNfsUrl. Query keys are the ones libnfs reads from its URLs; those
// that steer libnfs's own caching and mount traversal change nothing for this
// client's single calls and are only checked.
NfsUrl ParseNfsUrl(std::string_view text);

}  // namespace Tools
