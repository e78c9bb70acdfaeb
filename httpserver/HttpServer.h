// HttpServer: Velmo's HTTP API server, generic: it knows routes, not devices.
//
// Everything runs on one thread (the HTTP thread, inside Run) with
// Boost.Beast over Asio: reading, the dispatcher, the route handlers and the
// replies. No handler blocks: one that needs a device queues its work and
// returns; the answer comes later, from any thread, through the ReplySender
// (a handler that answers later keeps a Handle, bounds its wait with
// SetDeadline, and sends its completion home through Home()). So a request
// waiting for one device never holds up "/api/hello", "no sn", "no this api"
// or requests for other devices. Replies are written raw, in one write:
// status line, the one header, one chunk (upper-case hex size), the
// terminating chunk. Connections stay open for further requests.
//
// Hostile clients: a request must arrive whole within the request time-out
// (idle connections are closed after it too), heads and bodies have size
// limits answered with a clear one-line reply, and the number of connections
// is capped.
//
// Thread safety: AddRoute, SetPort, SetLimits and SetDiagnostics before Run;
// Run on the HTTP thread; Stop and BoundPort from any thread; the ReplySender
// from any thread, once per request; Handle and Home from any thread;
// SetDeadline on the HTTP thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/ExecutorGate.h"

namespace velmo {

class HttpConnection;  // one client connection; opaque to handlers

using ReplySender = void (*)(HttpConnection* conn, std::string text);
using RouteHandler = std::function<bool(void* context, std::string uri, std::string body, std::string sn,
                                        HttpConnection* conn, ReplySender reply)>;

struct HttpLimits {
  std::size_t maxHeadBytes = 8 * 1024;
  std::size_t maxBodyBytes = 64 * 1024;
  std::chrono::milliseconds requestTimeout{15000};
  std::size_t maxConnections = 16384;
};

// A parsed request as the dispatcher sees it.
struct HttpRequest {
  std::string target;                                        // as sent
  std::vector<std::pair<std::string, std::string>> headers;  // names as sent, in order
  std::string body;
};

class HttpServer {
 public:
  static constexpr std::size_t kMaxHeaders = 39;  // headers beyond are not looked at
  static constexpr int kBodyBuffer = 260;         // converted body + terminator

  // `context` is handed to every route handler.
  explicit HttpServer(void* context);
  ~HttpServer();  // Stop()
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  void SetPort(std::string port) { port_ = std::move(port); }
  void SetLimits(const HttpLimits& limits) { limits_ = limits; }
  // Where "got request: ..." and "http server listenning..." go (nullptr: nowhere).
  void SetDiagnostics(std::FILE* out) { diagnostics_ = out; }
  // The first registration for a path wins; later ones change nothing.
  void AddRoute(const std::string& path, RouteHandler handler);

  // Binds all IPv4 interfaces on the port and serves until Stop(). Returns
  // false at once when the listener cannot be set up; LastError() says why.
  bool Run();
  // Ends Run(); requests still waiting are not answered.
  void Stop();
  std::uint16_t BoundPort() const { return boundPort_.load(); }
  const std::string& LastError() const { return lastError_; }

  // Answers the request of `conn` with `text` (the ReplySender of the handlers).
  static void SendReply(HttpConnection* conn, std::string text);
  // For a handler that answers later: a handle that does not keep the
  // connection alive (lock it where the answer is sent; null when the client
  // or the server has gone), ...
  static std::weak_ptr<HttpConnection> Handle(HttpConnection* conn);
  // ... the gate of the HTTP thread, where completions continue (null for a
  // request without a connection) ...
  static platform::GatePtr Home(HttpConnection* conn);
  // ... and, on the HTTP thread, `fn` after `limit` unless the request was
  // answered by then.
  static void SetDeadline(HttpConnection* conn, std::chrono::milliseconds limit, std::function<void()> fn);

  // The raw reply bytes for `text`.
  static std::string FormatReply(std::string_view text);
  // Parses one whole request from `raw` with the size limits of `limits`.
  // Returns false when `raw` does not begin with one complete, valid request.
  static bool ParseRequest(std::string_view raw, const HttpLimits& limits, HttpRequest* request);

  // The dispatcher: SN check, body conversion, route or fallback. Calls
  // `reply` exactly once (directly, or through the route handler, perhaps
  // later). Runs on the HTTP thread; exposed for tests and fuzzing.
  void HandleRequest(const HttpRequest& request, HttpConnection* conn, ReplySender reply);

 private:
  friend class HttpConnection;
  struct Impl;
  void Accept();

  void* const context_;
  std::string port_ = "8003";
  HttpLimits limits_;
  std::FILE* diagnostics_ = stdout;
  std::unordered_map<std::string, RouteHandler> routes_;
  std::atomic<std::uint16_t> boundPort_{0};
  std::atomic<std::size_t> connections_{0};  // open client connections
  std::string lastError_;
  std::mutex runLock_;           // guards stopRequested_ and the creation of impl_
  bool stopRequested_ = false;   // guarded by runLock_
  std::unique_ptr<Impl> impl_;   // last: destroyed first, while the rest still stands
};

}  // namespace velmo
