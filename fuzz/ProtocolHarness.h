// A device connection without a network for the protocol fuzzers: the real
// CServerClientSocket and CFileRecver over one end of a socket pair (the other
// end is drained), the window thread's message loop, the connection's I/O
// context and the file threads' context all run on the fuzzing thread (each
// polled until nothing is left to do), a scratch file directory, and waits for
// devices cut to nothing. Each input gets a fresh connection, so runs are
// reproducible.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/IoThread.h"
#include "platform/MessageLoop.h"
#include "socketserver/ClientRegistry.h"
#include "socketserver/DeviceCounters.h"
#include "socketserver/DeviceEvents.h"
#include "socketserver/DeviceReach.h"
#include "socketserver/IoWorker.h"
#include "socketserver/ServerClientSocket.h"

namespace velmo::fuzz {

class CProtocolHarness {
 public:
  CProtocolHarness();
  ~CProtocolHarness();

  // Feeds `bytes` to a fresh connection as up to three receives (split where
  // the input's first two bytes say), running everything that work queued
  // after each one, and tears the connection down.
  void Run(const std::uint8_t* bytes, std::size_t size);

 private:
  // Runs the three contexts until none of them has anything left to do.
  void Settle();

  platform::MessageLoop loop_;
  CClientRegistry registry_;
  CDeviceCounters counters_;
  CDeviceEvents events_;
  std::shared_ptr<CDeviceReach> reach_;
  platform::CIoThread files_{"velmo-file"};
  CIoWorker worker_{"velmo-io-0", std::chrono::milliseconds(1000), 0};
  std::shared_ptr<CConnectionEnv> env_;
  std::string dir_;
};

}  // namespace velmo::fuzz
