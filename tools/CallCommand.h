#pragma once

namespace Tools {

// "call [--control-socket PATH] COMMAND [Property=Value ...]": sends one
// command to a running host and prints its answer. Returns the exit status.
int RunCall(int argc, char** argv);

}  // namespace Tools
