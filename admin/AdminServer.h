// CAdminServer: the management port's HTTP server, on its own thread
// "velmo-admin" (CHttpService, shared with the API). Unlike the designed API
// it speaks ordinary HTTP/1.1: status codes, Content-Type, Content-Length,
// keep-alive. Routes are a method and a path pattern whose "{}" segments
// match one percent-decoded segment each.
//
// No handler blocks: one that waits for a device hands it to the device
// reach with the admin thread as its home, keeps its AdminReply and calls it
// later (once, from any thread). Every request passes the access check of
// AdminAccess.h first. Hostile clients: the head and body have size limits,
// a request must arrive whole within the request time-out, and the number of
// connections is capped.
//
// Thread safety: AddRoute and AddStreamRoute before Start; Start and Stop on
// the owner's thread; BoundPort, Home, After and Counters from any thread;
// handlers on the admin thread (checked); an AdminReply from any thread.
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
#include "httpserver/HttpCounters.h"
#include "httpserver/HttpService.h"
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

class CAdminServer final : public CHttpService {
 public:
  explicit CAdminServer(AdminAccess access, HttpLimits limits = AdminLimits());
  ~CAdminServer() override;  // Stop()

  // `staticFile`: served without the token (the console's own files).
  void AddRoute(boost::beast::http::verb method, const std::string& pattern, AdminHandler handler,
                bool staticFile = false);
  // A GET route answered with a text/event-stream that stays open.
  void AddStreamRoute(const std::string& pattern, AdminStreamHandler handler);

  // Start (CHttpService::Start) listens on the address and port given there
  // and serves until Stop(): event streams end as it stops.

  // The requests asked, by route pattern ("other" for unknown paths).
  const CHttpCounters& Counters() const { return counters_; }

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
  std::shared_ptr<CHttpConnection> Accepted(boost::asio::ip::tcp::socket socket) override;
  void OnStopping() override;
  // Admin thread: a new event stream, closed as the server stops.
  void AddStream(const std::shared_ptr<CAdminStream>& stream);
  // Routes `request` (filled but for params) and answers through `reply`;
  // a stream route is handed to `stream` instead.
  void Dispatch(AdminRequest request, const AccessRequest& access, AdminReply reply,
                const std::function<void(const AdminStreamHandler&, AdminRequest)>& stream);

  const AdminAccess access_;
  std::vector<Route> routes_;  // set before Start
  CHttpCounters counters_;
  std::vector<std::weak_ptr<CAdminStream>> streams_;  // admin thread: closed as the server stops
};

// {"error": text} with `status`.
AdminResponse JsonError(unsigned status, const std::string& text);

}  // namespace velmo
