#pragma once

#include <string>

// The monitoring types, as commands see them: through the control component.
#include "control_lib/server/ServerControlComponent.h"

namespace NFS {

// The Prometheus text format (version 0.0.4) of the counters and of what the
// server holds: requests, failures by status and durations per procedure
// (procedures that were called), bytes read and written, and gauges of
// connections, cached objects, descriptors, enumerators and virtual files.
std::string RenderMetrics(const NSL::StatisticsSnapshot& statistics, const ServiceStatus& status);

}  // namespace NFS
