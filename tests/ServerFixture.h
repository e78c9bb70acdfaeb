// The device server as the tests start it: on 127.0.0.1 and a free port,
// created, configured and started on the test's window thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "protocol/DeviceProtocol.h"
#include "socketserver/ClientRegistry.h"
#include "socketserver/SocketServer.h"
#include "tests/TestSupport.h"

namespace velmo::test {

struct ServerConfig {
  void* owner = nullptr;  // handed back to every callback
  ServerTimings timings{};
  std::optional<std::uint32_t> sendTimeoutMs;
  std::optional<std::uint32_t> progressIntervalMs;
  std::string fileDir;  // "": the server's default
  // Callbacks left empty are not set.
  OnAcceptFn onAccept = nullptr;
  OnAcceptErrFn onAcceptErr = nullptr;
  OnSocketConnectFn onSocketConnect = nullptr;
  ConnectionCallbacks callbacks{};
  // The connections' protocol: Velmo's own with `protocol` (its relays reach
  // the server's own devices unless `protocol.reach` is set), unless
  // `factory` is set.
  ProtocolSettings protocol{"/nonexistent/led"};
  ProtocolFactory factory{};
  bool start = true;  // false: configured only; the test calls Start itself
};

// Creates the server on `window` as `config` says. With `start`, the server
// listens when this returns (a failed start fails the test).
std::unique_ptr<CSocketServer> MakeServer(LoopThread& window, const ServerConfig& config);

// The server's listening port, read on `window`.
std::uint16_t ListeningPort(LoopThread& window, CSocketServer& server);

// The bytes queued for the next heartbeat of the device registered as `sn`
// (the request ring of the connection a command reaches); 0 when no
// connection has that SN.
std::size_t QueuedBytes(const CClientRegistry& registry, const std::string& sn);
// Waits until something is queued for the device registered as `sn`.
bool WaitQueued(const CClientRegistry& registry, const std::string& sn,
                std::chrono::milliseconds timeout = 5000ms);

}  // namespace velmo::test
