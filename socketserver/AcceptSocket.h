// CAcceptSocket: the listener. Its accept thread blocks in accept and posts each
// new connection (2024) or a failure that ends listening (2025) to the
// listener's message target; the handler, on the window thread, asks OnAccept,
// creates the connection through the server, reports OnSocketConnect and lets
// the connection's receive thread run.
//
// Thread safety: everything here runs on the window thread except the accept
// thread (CAcceptThread), which touches only its own fields and the records it
// allocates.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/MessageLoop.h"
#include "socketserver/ServerTypes.h"
#include "socketserver/Thread.h"

namespace velmo {

class CSocketServer;
class CAcceptSocket;

class CAcceptThread : public CThread {
 public:
  // `spare` is a descriptor held in reserve: when the process runs out, the
  // thread gives it up for a moment to accept and close the waiting
  // connection, so the peer is refused at once instead of left hanging.
  CAcceptThread(CAcceptSocket& owner, platform::MessageLoop& loop, platform::TargetId notify, Socket listenSocket,
                int priority, const ServerTimings& timings, int spare);
  ~CAcceptThread() override;

 protected:
  void Run() override;

 private:
  CAcceptSocket& owner_;
  platform::MessageLoop& loop_;
  const platform::TargetId notify_;
  const Socket listenSocket_;
  const ServerTimings timings_;
  int spare_;  // accept thread
};

class CAcceptSocket {
 public:
  // What the listener copies from the server at every Start.
  struct Config {
    char bindAddress[260] = {};
    std::uint16_t port = 8000;
    int acceptThreadPriority = kThreadPriorityAboveNormal;
    OnAcceptFn onAccept = nullptr;
    OnAcceptErrFn onAcceptErr = nullptr;
    OnSocketConnectFn onSocketConnect = nullptr;
    OnNoticeFn onNotice = nullptr;
    ServerTimings timings;
  };

  CAcceptSocket(CSocketServer& server, platform::MessageLoop& loop, void* userData);
  ~CAcceptSocket();  // Stop()
  CAcceptSocket(const CAcceptSocket&) = delete;
  CAcceptSocket& operator=(const CAcceptSocket&) = delete;

  // Stops, then opens, binds and listens with `config` and starts the accept
  // thread. Returns true when listening; on failure the listener is fully
  // stopped and LastError() names the failing call.
  bool Start(const Config& config);
  // Idempotent. Closes the listening socket, ends the accept thread, and closes
  // the sockets of connections still queued for the window thread. A pending
  // accept error is discarded: stopping never reports OnAcceptErr.
  void Stop();

  bool IsListening() const { return listenSocket_ != platform::kInvalidSocket; }
  Socket ListenSocket() const { return listenSocket_; }
  // The port actually bound (useful when the configured port is 0).
  std::uint16_t BoundPort() const { return boundPort_; }
  const std::string& LastError() const { return lastError_; }

 private:
  void OnMessage(std::uint32_t msg, std::uintptr_t wParam);

  CSocketServer& server_;
  platform::MessageLoop& loop_;
  void* const userData_;
  Config config_;
  platform::TargetId notify_ = 0;
  Socket listenSocket_ = platform::kInvalidSocket;
  std::uint16_t boundPort_ = 0;
  std::unique_ptr<CAcceptThread> acceptThread_;
  std::string lastError_;
};

}  // namespace velmo
