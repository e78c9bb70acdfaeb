// CAdminServer: the management port's HTTP server (Boost.Beast over Asio, one
// thread). Unlike the designed API it speaks ordinary HTTP/1.1: status codes,
// Content-Type, Content-Length, keep-alive. Routes are a method and a path
// pattern whose "{}" segments match one percent-decoded segment each.
//
// No handler blocks: one that waits for a device keeps its AdminReply and
// calls it later, from any thread (once). Every request passes the access
// check of AdminAccess.h first. Hostile clients: the head and body have size
// limits, a request must arrive whole within the request time-out, and the
// number of connections is capped.
//
// Thread safety: AddRoute before Run; Run on the admin thread (it returns
// when Stop is called); Stop, BoundPort and Gate from any thread; an
// AdminReply from any thread.
#pragma once

#include <boost/beast/http/verb.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "admin/AdminAccess.h"
#include "httpserver/HttpServer.h"
#include "platform/ExecutorGate.h"

namespace velmo {

struct AdminRequest {
  boost::beast::http::verb method = boost::beast::http::verb::get;
  std::string path;                           // before "?", as sent
  std::map<std::string, std::string> query;   // decoded; the first of a repeated name counts
  std::vector<std::string> params;            // the decoded "{}" segments, in order
  std::string body;
  bool fromCluster = false;                   // sent by another node with the cluster token
};

struct AdminResponse {
  unsigned status = 200;
  std::string contentType = "application/json";
  std::string body;
};

// Answers a request; call it once, from any thread.
using AdminReply = std::function<void(AdminResponse)>;
using AdminHandler = std::function<void(const AdminRequest&, AdminReply)>;

// A stream of server-sent events to one client. Events wait in a bounded
// queue until the socket takes them: a slow client never slows the thread
// that pushes; past the bound its events are dropped, counted, and it is told
// so by an "event: dropped" with {"dropped": n} when it catches up.
// Thread safety: Push, SetOnClose and Closed from any thread.
class CAdminStream {
 public:
  static constexpr std::size_t kMaxQueued = 1000;
  // How long the first of a batch of events waits for the others.
  static constexpr std::chrono::milliseconds kBatchDelay{50};

  explicit CAdminStream(platform::GatePtr gate) : gate_(std::move(gate)) {}
  // Queues "event: NAME\ndata: DATA\n\n" (DATA on one line).
  void Push(const std::string& name, const std::string& data);
  // `fn` runs once when the client has gone (at once if it already has).
  void SetOnClose(std::function<void()> fn);
  bool Closed() const;
  // The connection's side (admin thread): what waits, as one block of text
  // ("" when nothing), a "dropped" event first if events were dropped.
  std::string Take();

 private:
  friend class AdminConnection;
  friend class CAdminServer;
  void Attach(std::function<void()> flush);  // the connection's flush, posted on Push
  void Close();

  const platform::GatePtr gate_;
  mutable std::mutex mutex_;
  std::vector<std::string> queued_;  // guarded by mutex_
  std::size_t dropped_ = 0;          // guarded by mutex_
  bool flushPosted_ = false;         // guarded by mutex_
  bool closed_ = false;              // guarded by mutex_
  std::function<void()> flush_;      // guarded by mutex_
  std::function<void()> onClose_;    // guarded by mutex_
};
using AdminStreamHandler = std::function<void(const AdminRequest&, std::shared_ptr<CAdminStream>)>;

// The API's limits, with fewer connections: operators and integrators, not a fleet.
inline HttpLimits AdminLimits() {
  HttpLimits limits;
  limits.maxConnections = 1024;
  return limits;
}

class CAdminServer {
 public:
  explicit CAdminServer(AdminAccess access, HttpLimits limits = AdminLimits());
  ~CAdminServer();  // Stop()
  CAdminServer(const CAdminServer&) = delete;
  CAdminServer& operator=(const CAdminServer&) = delete;

  // `staticFile`: served without the token (the console's own files).
  void AddRoute(boost::beast::http::verb method, const std::string& pattern, AdminHandler handler,
                bool staticFile = false);
  // A GET route answered with a text/event-stream that stays open.
  void AddStreamRoute(const std::string& pattern, AdminStreamHandler handler);

  // Listens on `address`:`port` and serves until Stop(). Returns false at once
  // when the listener cannot be set up; LastError() says why.
  bool Run(const std::string& address, std::uint16_t port);
  void Stop();
  std::uint16_t BoundPort() const { return boundPort_.load(); }
  const std::string& LastError() const { return lastError_; }
  // The admin thread's gate (null before Run).
  platform::GatePtr Gate() const;
  // Any thread: runs `fn` on the admin thread after `delay` (not at all once
  // the server has stopped).
  void After(std::chrono::milliseconds delay, std::function<void()> fn);

  // Splits `target` and matches it against the routes; for tests.
  static bool MatchPattern(const std::string& pattern, const std::string& path, std::vector<std::string>* params);
  // "%41b" -> "Ab"; false for a malformed escape.
  static bool PercentDecode(const std::string& text, std::string* out, bool plusIsSpace = false);

 private:
  friend class AdminConnection;
  struct Route {
    boost::beast::http::verb method;
    std::string pattern;
    AdminHandler handler;
    bool staticFile;
    AdminStreamHandler stream;  // set for a stream route
  };
  struct Impl;
  void Accept();
  // Routes `request` (filled but for params) and answers through `reply`;
  // a stream route is handed to `stream` instead.
  void Dispatch(AdminRequest request, const AccessRequest& access, AdminReply reply,
                const std::function<void(const AdminStreamHandler&, AdminRequest)>& stream);

  const AdminAccess access_;
  const HttpLimits limits_;
  std::vector<Route> routes_;
  std::atomic<std::uint16_t> boundPort_{0};
  std::atomic<std::size_t> connections_{0};
  std::string lastError_;
  mutable std::mutex runLock_;
  bool stopRequested_ = false;  // guarded by runLock_
  std::unique_ptr<Impl> impl_;  // created under runLock_
};

// {"error": text} with `status`.
AdminResponse JsonError(unsigned status, const std::string& text);

}  // namespace velmo
