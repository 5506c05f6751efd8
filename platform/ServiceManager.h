#pragma once
// The system's service manager, systemd: its command-line client for
// enabling and disabling units, and the readiness protocol of a Type=notify
// unit (sd_notify).
#include <string>
#include <vector>

// Runs "systemctl ARGS..." (found on PATH) and waits for it. What it writes
// on standard error is passed on to ours. Raises Exception with the system's
// text when it fails: "systemctl: No such file or directory" when it cannot be
// started, else its last line on standard error, else its exit status.
void RunSystemctl(const std::vector<std::string>& args);

// Tells the service manager about the unit's state ("READY=1", "STOPPING=1").
// Does nothing when the process was not started by it (no NOTIFY_SOCKET).
void NotifyServiceManager(const char* state);
