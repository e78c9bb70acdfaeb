// CAcceptSocket: the listener. Its accepting side runs on the server's first
// I/O thread: when the listening socket becomes readable it accepts what
// waits and posts each new connection (2024) to the listener's message target
// on the window thread, where OnAccept is asked, the connection is created
// through the server, OnSocketConnect is reported and the connection starts
// reading. A failure that ends listening is posted as 2025.
//
// Nothing on the I/O thread waits for the window thread: while the window's
// queue is full, accepting pauses and the post is retried on a timer (the
// backlog holds the peers meanwhile). Out of descriptors, a spare one is given
// up for a moment to accept and close the waiting peer, so it is refused at
// once instead of left hanging, with a notice at most once a second.
//
// Thread safety: Start, Stop and the accessors run on the window thread; the
// accepting side (CAcceptor) belongs to its I/O thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/MessageLoop.h"
#include "socketserver/ServerTypes.h"

namespace velmo {

class CSocketServer;
class CIoWorker;

class CAcceptSocket {
 public:
  // What the listener copies from the server at every Start.
  struct Config {
    char bindAddress[260] = {};
    std::uint16_t port = 8000;
    OnAcceptFn onAccept = nullptr;
    OnAcceptErrFn onAcceptErr = nullptr;
    OnSocketConnectFn onSocketConnect = nullptr;
    OnNoticeFn onNotice = nullptr;
    ServerTimings timings;
    // Each connection starts with a PROXY protocol header (from a load
    // balancer) naming the device's own address; without one it is closed.
    bool proxyProtocol = false;
  };

  CAcceptSocket(CSocketServer& server, platform::MessageLoop& loop, void* userData);
  ~CAcceptSocket();  // Stop()
  CAcceptSocket(const CAcceptSocket&) = delete;
  CAcceptSocket& operator=(const CAcceptSocket&) = delete;

  // Stops, then opens, binds and listens with `config`, accepting on
  // `worker`'s thread. Returns true when listening; on failure the listener
  // is fully stopped and LastError() names the failing call.
  bool Start(const Config& config, CIoWorker& worker);
  // Idempotent. Closes the listening socket (the accepting side is done when
  // this returns) and closes the sockets of connections still queued for the
  // window thread. A pending accept error is discarded: stopping never
  // reports OnAcceptErr.
  void Stop();

  bool IsListening() const { return listenSocket_ != platform::kInvalidSocket; }
  Socket ListenSocket() const { return listenSocket_; }
  // The port actually bound (useful when the configured port is 0).
  std::uint16_t BoundPort() const { return boundPort_; }
  const std::string& LastError() const { return lastError_; }

  class CAcceptor;

 private:
  void OnMessage(std::uint32_t msg, std::uintptr_t wParam);

  CSocketServer& server_;
  platform::MessageLoop& loop_;
  void* const userData_;
  Config config_;
  platform::TargetId notify_ = 0;
  std::atomic<Socket> listenSocket_{platform::kInvalidSocket};  // written on the window thread, read anywhere
  std::uint16_t boundPort_ = 0;
  std::shared_ptr<CAcceptor> acceptor_;
  std::string lastError_;
};

}  // namespace velmo
