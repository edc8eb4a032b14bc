#pragma once

namespace Tools {

// "watch [--json] [--control-socket PATH]": prints the files that clients of
// a running host create and delete, one line each, as they happen, until
// Ctrl-C or the host ends the stream. Returns the exit status.
int RunWatch(int argc, char** argv);

}  // namespace Tools
