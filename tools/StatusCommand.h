#pragma once

namespace Tools {

// "status [--json] [--control-socket PATH]": the export, the network part,
// client connections and what the server holds, on one screen. Returns the
// exit status.
int RunStatus(int argc, char** argv);

}  // namespace Tools
