#include <csignal>

namespace {

// These tests serve clients from their own process, as nfs_host does: a
// reply written to a connection the client has already closed must fail the
// write, not end the process, so the signal is ignored here as the host
// ignores it.
const bool kBrokenPipesIgnored = [] {
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}();

}  // namespace
