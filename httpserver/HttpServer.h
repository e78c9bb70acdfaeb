// HttpServer: Velmo's HTTP API server, generic: it knows routes, not devices.
//
// I/O runs on one thread (the HTTP thread, inside Run) with Boost.Beast over
// Asio; route handlers run on a worker pool, so a handler that waits for one
// device never holds up requests for other devices or "/api/hello". Replies
// are written raw, in one write: status line, the one header, one chunk
// (upper-case hex size), the terminating chunk. Connections stay open for
// further requests.
//
// Hostile clients: a request must arrive whole within the request time-out
// (idle connections are closed after it too), heads and bodies have size
// limits answered with a clear one-line reply, and the number of connections
// is capped.
//
// Thread safety: AddRoute, SetPort and SetLimits before Run; Run on the HTTP
// thread; Stop and BoundPort from any thread; SendReply from any thread, once
// per request.
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

namespace velmo {

class HttpConnection;  // one client connection; opaque to handlers

using ReplySender = void (*)(HttpConnection* conn, std::string text);
using RouteHandler = std::function<bool(void* context, std::string uri, std::string body, std::string sn,
                                        HttpConnection* conn, ReplySender reply)>;

struct HttpLimits {
  std::size_t maxHeadBytes = 8 * 1024;
  std::size_t maxBodyBytes = 64 * 1024;
  std::chrono::milliseconds requestTimeout{15000};
  std::size_t workers = 256;         // requests served at the same time
  std::size_t maxConnections = 4096;
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
  void Stop();
  std::uint16_t BoundPort() const { return boundPort_.load(); }
  const std::string& LastError() const { return lastError_; }

  // Answers the request of `conn` with `text` (the ReplySender of the handlers).
  static void SendReply(HttpConnection* conn, std::string text);
  // The raw reply bytes for `text`.
  static std::string FormatReply(std::string_view text);
  // Parses one whole request from `raw` with the size limits of `limits`.
  // Returns false when `raw` does not begin with one complete, valid request.
  static bool ParseRequest(std::string_view raw, const HttpLimits& limits, HttpRequest* request);

  // The dispatcher: SN check, body conversion, route or fallback. Calls
  // `reply` exactly once (directly, or through the route handler). Runs on a
  // worker thread; exposed for tests and fuzzing.
  void HandleRequest(const HttpRequest& request, HttpConnection* conn, ReplySender reply);

 private:
  friend class HttpConnection;
  struct Impl;

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
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmo
