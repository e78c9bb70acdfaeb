// How a request for a device this node does not hold reaches the node that
// holds it, when Velmo runs as one node of several sharing a device registry.
// The API routes and the device-port relays look for a local connection
// first; only when there is none do they ask the process-wide forwarder
// installed here. Without clustering none is installed and an SN that is not
// held here is offline, as on a single server.
//
// A forwarder never waits on the caller's thread: it answers through `home`
// (the caller's gate), once, within `bound` plus the time to hear back.
//
// Thread safety: RemoteDevices and SetRemoteDevices from any thread; the
// forwarder's members from any thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/ExecutorGate.h"
#include "socketserver/DeviceExchange.h"

namespace velmo {

// How long past a request's bound the caller waits for the answer of the
// node that holds the device: that node decides within the bound, and this
// is the way back.
inline constexpr std::chrono::milliseconds kRemoteAnswerMargin{250};

struct RemoteCommandResult {
  bool held = false;   // some node holds the device and decided; false: offline
  bool taken = false;  // the device took the text within the bound
};

struct RemoteQueryResult {
  bool held = false;   // false: offline
  QueryAnswer answer;  // the device's record when it answered
};

class IRemoteDevices {
 public:
  virtual ~IRemoteDevices() = default;
  // Queues `text` (with a line feed when `lineFeed`) for the device `sn` (GBK)
  // on the node that holds it and reports whether the device took it. A text
  // that reached the other node but was not taken in time stays queued there.
  virtual void SendCommand(const std::string& sn, const std::string& text, bool lineFeed,
                           std::chrono::milliseconds bound, platform::GatePtr home,
                           std::function<void(const RemoteCommandResult&)> done) = 0;
  // Sends the query `text` to the device `sn` on the node that holds it and
  // reports the device's record.
  virtual void SendQuery(const std::string& sn, const std::string& text, bool lineFeed,
                         std::chrono::milliseconds bound, platform::GatePtr home,
                         std::function<void(const RemoteQueryResult&)> done) = 0;
};

// The process-wide forwarder; null when Velmo runs alone.
std::shared_ptr<IRemoteDevices> RemoteDevices();
void SetRemoteDevices(std::shared_ptr<IRemoteDevices> forwarder);

}  // namespace velmo
