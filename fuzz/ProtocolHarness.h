// A device connection without a network for the protocol fuzzers: the real
// CServerClientSocket and CFileRecver over one end of a socket pair (the other
// end is drained), a message loop run on the fuzzing thread, a scratch file
// directory, and waits for devices cut to nothing. Each input gets a fresh
// connection, so runs are reproducible.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/MessageLoop.h"
#include "socketserver/ServerClientSocket.h"

namespace velmo::fuzz {

class CProtocolHarness {
 public:
  CProtocolHarness();
  ~CProtocolHarness();

  // Feeds `bytes` to a fresh connection as up to three receives (split where
  // the input's first two bytes say), running the window thread's queued work
  // after each one, and tears the connection down.
  void Run(const std::uint8_t* bytes, std::size_t size);

 private:
  platform::MessageLoop loop_;
  std::string dir_;
};

}  // namespace velmo::fuzz
