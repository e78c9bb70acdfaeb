// Tells systemd how Velmo is doing when it runs as a Type=notify service
// (sd_notify); outside systemd (no NOTIFY_SOCKET) every call does nothing.
// Thread safety: any thread.
#pragma once

#include <string>

namespace velmo {

// "READY=1" with a one-line status.
void NotifyReady(const std::string& status);
// "STOPPING=1": the clean shutdown has begun.
void NotifyStopping();

}  // namespace velmo
