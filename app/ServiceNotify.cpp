#include "app/ServiceNotify.h"

#include <systemd/sd-daemon.h>

namespace velmo {

void NotifyReady(const std::string& status) {
  const std::string message = "READY=1\nSTATUS=" + status;
  sd_notify(0, message.c_str());
}

void NotifyStopping() { sd_notify(0, "STOPPING=1"); }

}  // namespace velmo
