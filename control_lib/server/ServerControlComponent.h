#pragma once

#include <cstdint>

#include "service_lib/ServerControl.h"

namespace NFS {

// How host code finds the server-control component and what it exports:
// look it up by id and use it as NFS::ServerControl.
inline constexpr uint32_t kServerControlComponentId = 386;
inline constexpr const char* kServerControlInterfaceName = "NFS::ServerControl";

}  // namespace NFS
