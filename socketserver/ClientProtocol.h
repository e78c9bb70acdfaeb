// IClientProtocol: what a connection needs of the protocol spoken on it.
//
// The device server knows nothing of frames; the protocol layer implements this
// interface and the server's owner wires it in with a ProtocolFactory, so the
// server can be built and tested without the protocol.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace velmo {

class CServerClientSocket;

class IClientProtocol {
 public:
  virtual ~IClientProtocol() = default;

  // Window thread, during the connection's set-up, after the monitor started.
  // Returns false to fail the set-up (the connection is then torn down).
  virtual bool Setup() = 0;

  // Receive thread: `length` (1..32768) bytes arrived. Runs before the next recv.
  virtual void OnReceived(const std::uint8_t* data, int length) = 0;

  // Window thread: cancels a file reception in progress ("-22" to the device),
  // without callbacks. Does nothing when none is in progress.
  virtual void CancelTransfer() = 0;

  // Window thread, teardown, after both worker threads of the connection have
  // ended: discard queued messages, close files. The object is destroyed next.
  virtual void Shutdown() = 0;
};

// Creates the protocol object of a new connection (window thread).
using ProtocolFactory = std::function<std::unique_ptr<IClientProtocol>(CServerClientSocket&)>;

}  // namespace velmo
