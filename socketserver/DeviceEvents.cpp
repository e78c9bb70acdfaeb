#include "socketserver/DeviceEvents.h"

#include "socketserver/ServerClientSocket.h"

namespace velmo {

std::uint64_t CDeviceEvents::Subscribe(Subscriber subscriber) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::uint64_t id = next_++;
  subscribers_.emplace(id, std::move(subscriber));
  return id;
}

void CDeviceEvents::Unsubscribe(std::uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  subscribers_.erase(id);
}

bool CDeviceEvents::HasSubscribers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !subscribers_.empty();
}

void CDeviceEvents::Publish(const DeviceEvent& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [id, subscriber] : subscribers_) subscriber(event);
}

void CDeviceEvents::Publish(DeviceEvent::Kind kind, const CServerClientSocket& c, int reason, std::string previousSn) {
  if (!HasSubscribers()) return;  // nobody listens: nothing to build
  DeviceEvent e;
  e.kind = kind;
  e.sn = c.GetSn();
  e.ip = c.AddressText();
  e.port = platform::NetToHost16(c.PeerAddress().portNet);
  e.socket = c.GetSocket();
  e.reason = reason;
  e.previousSn = std::move(previousSn);
  e.atMs = CServerClientSocket::NowMs();
  Publish(e);
}

}  // namespace velmo
