#include "socketserver/DeviceCounters.h"

namespace velmo {

std::uint64_t DeviceTotals::Disconnections() const {
  std::uint64_t n = 0;
  for (auto d : disconnections) n += d;
  return n;
}

std::uint64_t DeviceTotals::Relays() const { return relays[0] + relays[1] + relays[2]; }

void CDeviceCounters::CommandWait(std::chrono::steady_clock::duration waited) {
  const double seconds = std::chrono::duration<double>(waited).count();
  std::size_t bucket = 0;
  while (bucket < kCommandWaitBuckets.size() && seconds > kCommandWaitBuckets[bucket]) ++bucket;
  Add(commandWaits_[bucket]);
  Add(commandWaitMicros_,
      static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(waited).count()));
}

DeviceTotals CDeviceCounters::Read() const {
  auto get = [](const std::atomic<std::uint64_t>& c) { return c.load(std::memory_order_relaxed); };
  DeviceTotals t;
  t.connections = get(connections_);
  for (int i = 0; i < kDisconnectKinds; ++i) t.disconnections[i] = get(disconnections_[i]);
  t.heartbeats = get(heartbeats_);
  for (int i = 0; i < 3; ++i) t.commands[i] = get(commands_[i]);
  for (int i = 0; i < 3; ++i) t.relays[i] = get(relays_[i]);
  t.uploads = get(uploads_);
  t.downloads = get(downloads_);
  t.uploadBytes = get(uploadBytes_);
  t.downloadBytes = get(downloadBytes_);
  for (std::size_t i = 0; i < t.commandWaits.size(); ++i) t.commandWaits[i] = get(commandWaits_[i]);
  t.commandWaitSeconds = static_cast<double>(get(commandWaitMicros_)) / 1e6;
  return t;
}

}  // namespace velmo
