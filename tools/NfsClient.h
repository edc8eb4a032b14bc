#pragma once

namespace Tools {

// "nfs ls|stat|cat|put URL [FILE]": a small NFS v3 client on libnfs's raw
// RPC interface, which sends only what this server answers. Returns the exit status.
int RunNfsClient(int argc, char** argv);

}  // namespace Tools
