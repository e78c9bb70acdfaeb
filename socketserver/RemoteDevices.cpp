#include "socketserver/RemoteDevices.h"

#include <mutex>

namespace velmo {

namespace {

std::mutex g_lock;
std::shared_ptr<IRemoteDevices> g_forwarder;  // guarded by g_lock

}  // namespace

std::shared_ptr<IRemoteDevices> RemoteDevices() {
  std::lock_guard<std::mutex> lock(g_lock);
  return g_forwarder;
}

void SetRemoteDevices(std::shared_ptr<IRemoteDevices> forwarder) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_forwarder = std::move(forwarder);
}

}  // namespace velmo
