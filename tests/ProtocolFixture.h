// CProtocolFixture: the device side of Velmo on one thread, without a
// network, for deterministic tests and for the protocol fuzzers. Real
// connections (CServerClientSocket over one end of a socket pair) speaking
// the real protocol (CFileRecver), their registry, counters and events, the
// device reach, the window thread's message loop, the connections' I/O
// context, the file threads' context and a caller's home (as the HTTP thread
// is for /api/cmd) all run on the calling thread, and only when the test
// says so: RunDevices() runs what the devices' side has queued, RunHome()
// what the caller's home has, Settle() both until nothing is left. So "a
// device's answer and the bound in the same turn" is a sequence of calls,
// not a race.
//
// Thread safety: one thread, the one that created it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/IoThread.h"
#include "platform/MessageLoop.h"
#include "socketserver/ClientRegistry.h"
#include "socketserver/DeviceCounters.h"
#include "socketserver/DeviceEvents.h"
#include "socketserver/DeviceReach.h"
#include "socketserver/IoWorker.h"
#include "socketserver/ServerClientSocket.h"

namespace velmo::test {

class CProtocolFixture {
 public:
  // `reach`: the device reach's bounds (every bound 0 by default: a bound
  // passes at the next RunHome); the devices' own wait stages follow its stage.
  explicit CProtocolFixture(ReachTimings reach = ReachTimings{std::chrono::milliseconds(0),
                                                              std::chrono::milliseconds(0),
                                                              std::chrono::milliseconds(0)});
  ~CProtocolFixture();
  CProtocolFixture(const CProtocolFixture&) = delete;
  CProtocolFixture& operator=(const CProtocolFixture&) = delete;

  struct Device {
    std::shared_ptr<CServerClientSocket> conn;
    int peer = -1;  // the device's end of the socket pair (non-blocking)
  };
  // A new connection, set up with Velmo's protocol and in the registry;
  // null `conn` when its set-up failed.
  Device Connect();
  // Hands `bytes` to the connection as if read from its socket (the
  // connection's own I/O thread is this one); runs nothing else.
  void Feed(const Device& d, std::string_view bytes);
  // What the connection has written to its peer since the last call.
  std::string Received(const Device& d);
  // The connection leaves the registry and is torn down, as the window thread
  // does after a close; the peer's end is closed.
  void Close(Device& d);

  // Runs the devices' side (the I/O context, the file threads' context, the
  // window thread's loop) until none of them has anything left to do.
  void RunDevices();
  // Runs the caller's home until it has nothing left to do.
  void RunHome();
  // Both, until neither has anything left.
  void Settle();

  // The caller's thread, for requests to the device reach.
  platform::ThreadHome Home() const { return home_.Home(); }
  CDeviceReach& Reach() { return *reach_; }
  CClientRegistry& Registry() { return registry_; }
  CDeviceCounters& Counters() { return counters_; }
  const std::string& FileDir() const { return dir_; }

 private:
  std::size_t RunDevicesOnce();

  platform::MessageLoop loop_;
  CClientRegistry registry_;
  CDeviceCounters counters_;
  CDeviceEvents events_;
  std::shared_ptr<CDeviceReach> reach_;
  platform::CIoThread files_{"velmo-file"};
  CIoWorker worker_{"velmo-io-0", std::chrono::milliseconds(1000), 0};
  platform::CIoThread home_{"velmo-http"};
  std::shared_ptr<CConnectionEnv> env_;
  std::shared_ptr<const ConnectionSettings> settings_;
  std::string dir_;
};

}  // namespace velmo::test
