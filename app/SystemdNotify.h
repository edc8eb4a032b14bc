#pragma once

#include <string>

#include "host/Commands.h"

// Tells the service manager how the host stands: a unit of Type=notify counts
// as started only at READY=1, and shows STATUS= in "systemctl status". Each
// call does nothing when NOTIFY_SOCKET is unset, as outside systemd.
namespace Host {

// Serving: READY=1 with `status` as the unit's status line.
void NotifyReady(const std::string& status);
// The stop signal has come; the shutdown that follows may take a while.
void NotifyStopping();
// A reload begins (RELOADING=1 with the CLOCK_MONOTONIC time it began, which
// a reload-notify unit needs); NotifyReady ends it.
void NotifyReloading();

// "Serving '/srv/nfs' as '/share' on port 2029", the port the running server
// reports in its status; without the port when the status cannot tell it.
// Empty outside systemd: nobody reads it there, and the status asks the
// portmapper.
std::string ServingSummary(Core::CommandRunner& commands, const std::string& localPath,
                           const std::string& shareName);

}  // namespace Host
