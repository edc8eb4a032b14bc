#pragma once

namespace Tools {

// "stats [--json] [--interval SECONDS [--count N]] [--control-socket PATH]":
// the RPC counters of a running host since the service first started, or
// per interval as rates until interrupted. Returns the exit status.
int RunStats(int argc, char** argv);

}  // namespace Tools
