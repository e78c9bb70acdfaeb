// CDeviceEvents: the stream of device events (a connection accepted, an SN
// registered or changed, a connection ended) for whoever follows the fleet:
// the management port's event streams, the event webhook, the fleet
// membership. The program creates one and hands it to the device server and
// to the subscribers; tests create their own.
//
// Subscribers are called on the thread that publishes (the window thread for
// connections and disconnections, an I/O thread for registrations), under
// the hub's lock: they must only queue the event and return, never wait.
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace velmo {

class CServerClientSocket;

struct DeviceEvent {
  enum Kind { Connected, Registered, Disconnected } kind = Connected;
  std::string sn;  // GBK; empty until registered
  std::string previousSn;  // Registered: the SN the connection had before ("" for its first)
  std::string ip;
  std::uint16_t port = 0;
  int socket = -1;
  int reason = -1;  // Disconnected: 0, 1, 2, or kOperatorReason
  std::int64_t atMs = 0;  // when it happened, ms since the epoch
  static constexpr int kOperatorReason = 3;
};

class CDeviceEvents {
 public:
  using Subscriber = std::function<void(const DeviceEvent&)>;

  // Returns the subscription's id.
  std::uint64_t Subscribe(Subscriber subscriber);
  // Once it returns, the subscriber is no longer called.
  void Unsubscribe(std::uint64_t id);
  void Publish(const DeviceEvent& event);
  // The event of `kind` for connection `c` (its SN, address, socket); built
  // only when somebody listens.
  void Publish(DeviceEvent::Kind kind, const CServerClientSocket& c, int reason = -1, std::string previousSn = {});
  bool HasSubscribers() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::uint64_t, Subscriber> subscribers_;  // guarded by mutex_
  std::uint64_t next_ = 1;                           // guarded by mutex_
};

}  // namespace velmo
