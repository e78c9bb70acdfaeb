#include "admin/AdminServer.h"

#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cerrno>
#include <optional>
#include <unordered_set>

#include <nlohmann/json.hpp>

#include <sstream>

namespace velmo {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

AdminResponse JsonError(unsigned status, const std::string& text) {
  return AdminResponse{status, "application/json", nlohmann::json{{"error", text}}.dump()};
}

void CAdminStream::Push(const std::string& name, const std::string& data) {
  std::function<void()> flush;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    if (queued_.size() >= kMaxQueued) {
      ++dropped_;
      return;
    }
    queued_.push_back("event: " + name + "\ndata: " + data + "\n\n");
    if (flushPosted_ || !flush_) return;
    flushPosted_ = true;
    flush = flush_;
  }
  // A stopped server takes no more flushes; its streams are closed as it ends.
  if (!gate_->Post(std::move(flush))) {
    std::lock_guard<std::mutex> lock(mutex_);
    flushPosted_ = false;
  }
}

std::string CAdminStream::Take() {
  std::lock_guard<std::mutex> lock(mutex_);
  flushPosted_ = false;
  std::string text;
  if (dropped_ > 0) {
    text = "event: dropped\ndata: {\"dropped\":" + std::to_string(dropped_) + "}\n\n";
    dropped_ = 0;
  }
  for (auto& e : queued_) text += e;
  queued_.clear();
  return text;
}

void CAdminStream::Attach(std::function<void()> flush) {
  std::lock_guard<std::mutex> lock(mutex_);
  flush_ = std::move(flush);
  flushPosted_ = true;  // the connection flushes once it has written the head
}

void CAdminStream::SetOnClose(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!closed_) {
      onClose_ = std::move(fn);
      return;
    }
  }
  fn();
}

bool CAdminStream::Closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

void CAdminStream::Close() {
  std::function<void()> onClose;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    closed_ = true;
    queued_.clear();
    flush_ = nullptr;
    onClose = std::move(onClose_);
  }
  if (onClose) onClose();
}

// One client connection: one request at a time, answered whenever its
// handler replies, then the next one is read.
class AdminConnection final : public CHttpConnection {
 public:
  AdminConnection(CAdminServer& server, tcp::socket socket)
      : CHttpConnection(server, std::move(socket)), server_(server), batch_(Stream().get_executor()) {}

 private:
  void OnRequest(Message& message) override {
    written_ = false;
    const bool keepAlive = message.keep_alive();
    const unsigned version = message.version();
    AdminRequest request;
    request.method = message.method();
    head_ = request.method == http::verb::head;
    const std::string target(message.target());
    request.path = target.substr(0, target.find('?'));
    if (target.size() > request.path.size() && !ParseQuery(target.substr(request.path.size() + 1), &request.query)) {
      return Answer(JsonError(400, "malformed query"), keepAlive, version);
    }
    request.body = std::move(message.body());
    AccessRequest access;
    auto text = [](beast::string_view v) { return std::string_view(v.data(), v.size()); };
    access.host = text(message[http::field::host]);
    access.authorization = text(message[http::field::authorization]);
    access.velmoRequest = text(message["X-Velmo-Request"]);
    access.clusterToken = text(message["X-Velmo-Cluster-Token"]);
    access.changesState = request.method != http::verb::get && request.method != http::verb::head;

    auto reply = [gate = server_.Home().gate, weak = weak_from_this(), keepAlive, version](AdminResponse response) {
      gate->Post([weak, response = std::move(response), keepAlive, version]() mutable {
        auto self = weak.lock();
        if (self) static_cast<AdminConnection*>(self.get())->Answer(std::move(response), keepAlive, version);
      });
    };
    // The strings the access check looks at live in `message` until the next read.
    server_.Dispatch(std::move(request), access, std::move(reply),
                     [this](const AdminStreamHandler& handler, AdminRequest req) { StartStream(handler, req); });
  }

  std::string FailureAnswer(ReadFailure failure) override {
    head_ = false;
    switch (failure) {
      case ReadFailure::HeadTooLarge: return Serialize(JsonError(431, "request head too large"), false, 11);
      case ReadFailure::BodyTooLong: return Serialize(JsonError(413, "body too long"), false, 11);
      case ReadFailure::BadRequest: break;
    }
    return Serialize(JsonError(400, "bad request"), false, 11);
  }

  // The response becomes an event stream: its head now, then whatever the
  // stream queues, until the client goes (then the connection closes).
  void StartStream(const AdminStreamHandler& handler, const AdminRequest& request) {
    if (head_) return Answer(AdminResponse{200, "text/event-stream", ""}, false, 11);  // no stream for a HEAD
    written_ = true;
    Hold();
    streamEvents_ = std::make_shared<CAdminStream>(server_.Home().gate);
    server_.AddStream(streamEvents_);
    streamEvents_->Attach([weak = weak_from_this()] {
      if (auto self = weak.lock()) static_cast<AdminConnection*>(self.get())->FlushSoon();
    });
    handler(request, streamEvents_);
    streamOut_ = "HTTP/1.1 200 OK\r\nServer: Velmo\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
                 "Connection: close\r\n\r\n";
    writing_ = true;
    asio::async_write(Stream(), asio::buffer(streamOut_), [self = Self()](beast::error_code ec, std::size_t) {
      self->writing_ = false;
      if (ec) return self->EndStream();
      self->FlushStream();
    });
    // The client sends nothing more: a read ends when it goes.
    Stream().async_read_some(asio::buffer(probe_), [self = Self()](beast::error_code, std::size_t) {
      self->EndStream();
    });
  }

  // Events that come together leave together: the first waits a moment for
  // the others, so a busy fleet costs a write per stream per batch, not per event.
  void FlushSoon() {
    if (batchArmed_) return;
    batchArmed_ = true;
    batch_.expires_after(CAdminStream::kBatchDelay);
    batch_.async_wait([self = Self()](beast::error_code) {
      self->batchArmed_ = false;
      self->FlushStream();
    });
  }

  void FlushStream() {
    if (writing_ || !streamEvents_) return;
    streamOut_ = streamEvents_->Take();
    if (streamOut_.empty()) return;
    writing_ = true;
    asio::async_write(Stream(), asio::buffer(streamOut_), [self = Self()](beast::error_code ec, std::size_t) {
      self->writing_ = false;
      if (ec) return self->EndStream();
      self->FlushStream();  // what came meanwhile
    });
  }

  void EndStream() {
    if (!streamEvents_) return;
    auto events = std::move(streamEvents_);
    events->Close();
    batch_.cancel();
    Close();
  }

  static bool ParseQuery(const std::string& query, std::map<std::string, std::string>* out) {
    std::size_t start = 0;
    while (start <= query.size()) {
      std::size_t end = query.find('&', start);
      if (end == std::string::npos) end = query.size();
      std::string pair = query.substr(start, end - start);
      if (!pair.empty()) {
        auto eq = pair.find('=');
        std::string name, value;
        if (!CAdminServer::PercentDecode(pair.substr(0, eq), &name, true)) return false;
        if (eq != std::string::npos && !CAdminServer::PercentDecode(pair.substr(eq + 1), &value, true)) return false;
        out->emplace(std::move(name), std::move(value));
      }
      start = end + 1;
    }
    return true;
  }

  // The whole response as it goes on the wire.
  std::string Serialize(AdminResponse response, bool keepAlive, unsigned version) const {
    http::response<http::string_body> message(static_cast<http::status>(response.status), version);
    message.set(http::field::server, "Velmo");
    if (!response.body.empty() || response.status != 204) {
      message.set(http::field::content_type, response.contentType);
    }
    message.set(http::field::cache_control, "no-store");
    // For the console's files and the API alike: no type guessing, nothing
    // loaded from elsewhere, not framed by another site.
    message.set("X-Content-Type-Options", "nosniff");
    message.set("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");
    message.keep_alive(keepAlive);
    message.body() = std::move(response.body);
    message.prepare_payload();
    if (head_) {  // the GET's head: its length (where it has one), without the body
      const std::size_t length = message.body().size();
      message.body().clear();
      if (response.status != 204) message.content_length(length);
    }
    std::ostringstream out;
    out << message;
    return out.str();
  }

  // Admin thread: the one answer to the request being handled.
  void Answer(AdminResponse response, bool keepAlive, unsigned version) {
    if (written_) return;
    written_ = true;
    Write(Serialize(std::move(response), keepAlive, version), keepAlive);
  }

  std::shared_ptr<AdminConnection> Self() { return std::static_pointer_cast<AdminConnection>(shared_from_this()); }

  CAdminServer& server_;
  bool written_ = false;  // the request being handled has its answer
  bool head_ = false;     // the request being answered is a HEAD
  // An event stream (admin thread).
  std::shared_ptr<CAdminStream> streamEvents_;
  std::string streamOut_;
  bool writing_ = false;
  char probe_[64];
  asio::steady_timer batch_;  // FlushSoon's wait
  bool batchArmed_ = false;
};

CAdminServer::CAdminServer(AdminAccess access, HttpLimits limits)
    : CHttpService("velmo-admin", limits), access_(std::move(access)) {}

CAdminServer::~CAdminServer() { Stop(); }

std::shared_ptr<CHttpConnection> CAdminServer::Accepted(tcp::socket socket) {
  return std::make_shared<AdminConnection>(*this, std::move(socket));
}

void CAdminServer::AddStream(const std::shared_ptr<CAdminStream>& stream) {
  Owner().Check("CAdminServer::AddStream");
  std::erase_if(streams_, [](const std::weak_ptr<CAdminStream>& w) { return w.expired(); });
  streams_.push_back(stream);
}

void CAdminServer::OnStopping() {
  // Every event stream ends here, so its subscriptions go with it.
  for (auto& weak : streams_) {
    if (auto stream = weak.lock()) stream->Close();
  }
  streams_.clear();
}

void CAdminServer::AddRoute(http::verb method, const std::string& pattern, AdminHandler handler, bool staticFile) {
  routes_.push_back(Route{method, pattern, std::move(handler), staticFile, nullptr});
}

void CAdminServer::AddStreamRoute(const std::string& pattern, AdminStreamHandler handler) {
  routes_.push_back(Route{http::verb::get, pattern, nullptr, false, std::move(handler)});
}

bool CAdminServer::PercentDecode(const std::string& text, std::string* out, bool plusIsSpace) {
  out->clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return false;
      auto hex = [](char h) -> int {
        if (h >= '0' && h <= '9') return h - '0';
        if (h >= 'a' && h <= 'f') return h - 'a' + 10;
        if (h >= 'A' && h <= 'F') return h - 'A' + 10;
        return -1;
      };
      const int hi = hex(text[i + 1]), lo = hex(text[i + 2]);
      if (hi < 0 || lo < 0) return false;
      out->push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else {
      out->push_back(plusIsSpace && c == '+' ? ' ' : c);
    }
  }
  return true;
}

bool CAdminServer::MatchPattern(const std::string& pattern, const std::string& path, std::vector<std::string>* params) {
  params->clear();
  std::size_t p = 0, q = 0;
  while (p < pattern.size() || q < path.size()) {
    if (p >= pattern.size() || q >= path.size() || pattern[p] != '/' || path[q] != '/') return false;
    std::size_t pe = pattern.find('/', p + 1), qe = path.find('/', q + 1);
    if (pe == std::string::npos) pe = pattern.size();
    if (qe == std::string::npos) qe = path.size();
    const std::string want = pattern.substr(p + 1, pe - p - 1);
    const std::string got = path.substr(q + 1, qe - q - 1);
    if (want == "{}") {
      std::string decoded;
      if (got.empty() || !PercentDecode(got, &decoded)) return false;
      params->push_back(std::move(decoded));
    } else if (want != got) {
      return false;
    }
    p = pe;
    q = qe;
  }
  return true;
}

void CAdminServer::Dispatch(AdminRequest request, const AccessRequest& access, AdminReply reply,
                            const std::function<void(const AdminStreamHandler&, AdminRequest)>& stream) {
  const Route* found = nullptr;
  bool pathKnown = false;
  std::vector<std::string> params;
  for (const Route& r : routes_) {
    if (!MatchPattern(r.pattern, request.path, &params)) continue;
    pathKnown = true;
    if (r.method == request.method || (r.method == http::verb::get && request.method == http::verb::head)) {
      found = &r;
      break;
    }
  }
  Owner().Check("CAdminServer::Dispatch");
  counters_.Request(found ? found->pattern : "other");
  AccessRequest checked = access;
  checked.staticFile = found && found->staticFile;
  if (auto refusal = CheckAccess(access_, checked)) {
    return reply(AdminResponse{refusal->status, "application/json", refusal->body});
  }
  if (!found) return reply(pathKnown ? JsonError(405, "method not allowed") : JsonError(404, "not found"));
  request.params = std::move(params);
  request.fromCluster = FromClusterNode(access_, access);
  if (found->stream) return stream(found->stream, std::move(request));
  found->handler(request, std::move(reply));
}

}  // namespace velmo
