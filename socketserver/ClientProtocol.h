// IClientProtocol: what a connection needs of the protocol spoken on it.
//
// The device server knows nothing of frames; the protocol layer implements this
// interface and the server's owner wires it in with a ProtocolFactory, so the
// server can be built and tested without the protocol.
//
// Every call but Setup runs on the connection's I/O thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace velmo {

class CServerClientSocket;

class IClientProtocol {
 public:
  virtual ~IClientProtocol() = default;

  // Window thread, during the connection's set-up. Returns false to fail the
  // set-up (the connection is then torn down).
  virtual bool Setup() = 0;

  // `length` (1..32768) bytes arrived; they are valid during the call only.
  // The protocol may pause the connection's reading (a wait, a file backlog)
  // and keeps what it has not handled yet.
  virtual void OnReceived(const std::uint8_t* data, int length) = 0;

  // Cancels a file reception in progress ("-22" to the device), without
  // callbacks. Does nothing when none is in progress.
  virtual void CancelTransfer() = 0;

  // Teardown: stop waiting, close files. `done` must be called, on the I/O
  // thread, once nothing of the protocol will send on the connection any more.
  virtual void Shutdown(std::function<void()> done) = 0;

  // True while Velmo itself keeps the peer waiting (a relay, file work): that
  // time does not count against the peer's idle limit.
  virtual bool Busy() const = 0;
};

// Creates the protocol object of a new connection (window thread).
using ProtocolFactory = std::function<std::unique_ptr<IClientProtocol>(CServerClientSocket&)>;

}  // namespace velmo
