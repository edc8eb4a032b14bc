#pragma once

#include <cstdint>

#include "service_lib/ServerControl.h"
#include "service_lib/ServerMonitoring.h"

namespace NFS {

// How host code finds the server-control component and what it exports:
// look it up by id and use it as NFS::ServerControl.
inline constexpr uint32_t kServerControlComponentId = 386;
inline constexpr const char* kServerControlInterfaceName = "NFS::ServerControl";
// The same component, read-only, for status and statistics.
inline constexpr const char* kServerMonitoringInterfaceName = "NFS::ServerMonitoring";

}  // namespace NFS
