// HttpServer: Velmo's HTTP API server, generic: it knows routes, not devices.
//
// It runs on its own thread, "velmo-http" (CHttpService): reading, the
// dispatcher, the route handlers and the replies. No handler blocks: one that
// needs a device hands it to the device reach and returns; the answer comes
// later, through the ReplySender (a handler that answers later keeps a
// Handle and waits on its Home). So a request waiting for one device never
// holds up "/api/hello", "no sn", "no this api" or requests for other
// devices. Replies are written raw, in one write: status line, the one
// header, one chunk (upper-case hex size), the terminating chunk.
// Connections stay open for further requests.
//
// Hostile clients: a request must arrive whole within the request time-out
// (idle connections are closed after it too), heads and bodies have size
// limits answered with a clear one-line reply, and the number of connections
// is capped.
//
// Thread safety: AddRoute, SetPort, SetLimits and SetDiagnostics before
// Start; Start and Stop on the owner's thread; BoundPort and Counters from
// any thread; the ReplySender from any thread, once per request; Handle and
// Home from any thread; HandleRequest on the HTTP thread (or, for a request
// without a connection, on the caller's).
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "httpserver/HttpCounters.h"
#include "httpserver/HttpService.h"

namespace velmo {

class HttpConnection;  // one client connection; opaque to handlers

using ReplySender = void (*)(HttpConnection* conn, std::string text);
using RouteHandler = std::function<bool(void* context, std::string uri, std::string body, std::string sn,
                                        HttpConnection* conn, ReplySender reply)>;

// A parsed request as the dispatcher sees it.
struct HttpRequest {
  std::string target;                                        // as sent
  std::vector<std::pair<std::string, std::string>> headers;  // names as sent, in order
  std::string body;
};

class HttpServer final : public CHttpService {
 public:
  static constexpr std::size_t kMaxHeaders = 39;  // headers beyond are not looked at
  static constexpr int kBodyBuffer = 260;         // converted body + terminator

  // `context` is handed to every route handler.
  explicit HttpServer(void* context);
  ~HttpServer() override;  // Stop()

  void SetPort(std::string port) { port_ = std::move(port); }
  // Where "got request: ..." and "http server listenning..." go (nullptr: nowhere).
  void SetDiagnostics(std::FILE* out) { diagnostics_ = out; }
  // The first registration for a path wins; later ones change nothing.
  void AddRoute(const std::string& path, RouteHandler handler);

  // Starts the HTTP thread, which runs `starting`, then binds every IPv4
  // interface on the port and serves until Stop(); `failed` runs there with
  // what failed when the port cannot be opened. See CHttpService::Start.
  bool Start(std::function<void()> starting = nullptr, std::function<void(const std::string& error)> failed = nullptr);
  // The requests asked, by route ("other" for unknown paths).
  const CHttpCounters& Counters() const { return counters_; }

  // Answers the request of `conn` with `text` (the ReplySender of the handlers).
  static void SendReply(HttpConnection* conn, std::string text);
  // For a handler that answers later: a handle that does not keep the
  // connection alive (lock it where the answer is sent; null when the client
  // or the server has gone), and the HTTP thread as the home of its wait
  // (empty for a request without a connection).
  static std::weak_ptr<HttpConnection> Handle(HttpConnection* conn);
  static platform::ThreadHome Home(HttpConnection* conn);

  // The raw reply bytes for `text`.
  static std::string FormatReply(std::string_view text);
  // Parses one whole request from `raw` with the size limits of `limits`.
  // Returns false when `raw` does not begin with one complete, valid request.
  static bool ParseRequest(std::string_view raw, const HttpLimits& limits, HttpRequest* request);

  // The dispatcher: SN check, body conversion, route or fallback. Calls
  // `reply` exactly once (directly, or through the route handler, perhaps
  // later). Exposed for tests and fuzzing.
  void HandleRequest(const HttpRequest& request, HttpConnection* conn, ReplySender reply);

 private:
  friend class HttpConnection;
  std::shared_ptr<CHttpConnection> Accepted(boost::asio::ip::tcp::socket socket) override;
  void OnListening() override;

  void* const context_;
  std::string port_ = "8003";
  std::FILE* diagnostics_ = stdout;
  std::unordered_map<std::string, RouteHandler> routes_;
  CHttpCounters counters_;
};

}  // namespace velmo
