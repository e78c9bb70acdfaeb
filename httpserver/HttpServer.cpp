#include "httpserver/HttpServer.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cerrno>
#include <cstring>
#include <optional>
#include <sstream>
#include <unordered_set>

#include "httpserver/Acceptor.h"
#include "socketserver/FleetCounters.h"
#include "platform/Utf8ToGbk.h"

namespace velmo {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

HttpRequest ToRequest(http::request<http::string_body>& message) {
  HttpRequest request;
  request.target = std::string(message.target());
  for (const auto& field : message) {
    request.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  }
  request.body = std::move(message.body());
  return request;
}

}  // namespace

struct HttpServer::Impl {
  Impl() : gate(std::make_shared<platform::CExecutorGate>(io)), backoff(io) {}
  asio::io_context io{1};  // first: outlives everything below
  platform::GatePtr gate;
  std::optional<tcp::acceptor> acceptor;
  asio::steady_timer backoff;  // accepting pauses while the process is out of descriptors
  // Connections whose request a handler still has to answer: kept alive here
  // (HTTP thread), not by the handlers, so a wait for a device never owns one.
  std::unordered_set<std::shared_ptr<HttpConnection>> pending;
  std::atomic<bool> stopped{false};
};

// One client connection. Reads one request at a time; the dispatcher runs on
// the HTTP thread and the reply, whenever it comes, is written there too,
// then the next request is read.
class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
 public:
  HttpConnection(HttpServer& server, tcp::socket socket)
      : server_(server), stream_(std::move(socket)), deadline_(stream_.get_executor()) {}
  ~HttpConnection() { --server_.connections_; }

  void Start() { ReadRequest(); }

  // Any thread: queue the reply; only the first reply of a request is sent.
  void Reply(std::string text) {
    if (replied_.exchange(true)) return;
    asio::post(stream_.get_executor(), [self = shared_from_this(), bytes = HttpServer::FormatReply(text)]() mutable {
      self->deadline_.cancel();
      self->Write(std::move(bytes), self->keepAlive_);
    });
  }

  void SetDeadline(std::chrono::milliseconds limit, std::function<void()> fn) {
    deadline_.expires_after(limit);
    deadline_.async_wait([weak = weak_from_this(), fn = std::move(fn)](const beast::error_code& ec) {
      if (ec) return;
      auto self = weak.lock();
      if (self && !self->replied_) fn();
    });
  }

  HttpServer& Server() { return server_; }

 private:
  void ReadRequest() {
    ResetParser(parser_, server_.limits_);
    stream_.expires_after(server_.limits_.requestTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnRead(ec); });
  }

  void OnRead(beast::error_code ec) {
    if (ec == http::error::header_limit) return Write(HttpServer::FormatReply("request head too large"), false);
    if (ec == http::error::body_limit) return Write(HttpServer::FormatReply("body too long"), false);
    if (ClientGone(ec)) return Close();
    if (ec) return Write(HttpServer::FormatReply("bad request"), false);

    auto& message = parser_->get();
    keepAlive_ = message.keep_alive();
    const std::string method(message.method_string());
    const unsigned version = message.version();
    HttpRequest request = ToRequest(message);
    if (server_.diagnostics_) {
      std::ostringstream whole;
      whole << method << " " << request.target << " HTTP/" << version / 10 << "." << version % 10 << "\r\n";
      for (const auto& h : request.headers) whole << h.first << ": " << h.second << "\r\n";
      whole << "\r\n" << request.body;
      std::fprintf(server_.diagnostics_, "got request: %s\n", whole.str().c_str());
      std::fflush(server_.diagnostics_);
    }
    replied_ = false;
    stream_.expires_never();  // the handler may wait for a device; the reply restarts the clock
    server_.impl_->pending.insert(shared_from_this());
    server_.HandleRequest(request, this, &HttpServer::SendReply);
  }

  void Write(std::string bytes, bool keepAlive) {
    out_ = std::move(bytes);
    stream_.expires_after(server_.limits_.requestTimeout);
    asio::async_write(stream_, asio::buffer(out_),
                      [self = shared_from_this(), keepAlive](beast::error_code ec, std::size_t) {
                        self->server_.impl_->pending.erase(self);
                        if (ec || !keepAlive || self->server_.impl_->stopped) return self->Close();
                        self->ReadRequest();
                      });
  }

  void Close() {
    beast::error_code ignored;
    deadline_.cancel();
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close();
    server_.impl_->pending.erase(shared_from_this());
  }

  HttpServer& server_;
  beast::tcp_stream stream_;
  asio::steady_timer deadline_;  // a waiting handler's bound
  beast::flat_buffer buffer_;
  std::optional<RequestParser> parser_;
  std::string out_;
  bool keepAlive_ = true;             // HTTP thread
  std::atomic<bool> replied_{false};  // one reply per request
};

HttpServer::HttpServer(void* context) : context_(context) {}

HttpServer::~HttpServer() { Stop(); }

void HttpServer::AddRoute(const std::string& path, RouteHandler handler) { routes_.emplace(path, std::move(handler)); }

std::string HttpServer::FormatReply(std::string_view text) {
  char size[16];
  std::snprintf(size, sizeof size, "%zX", text.size());
  std::string reply = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  reply += size;
  reply += "\r\n";
  reply.append(text);
  reply += "\r\n0\r\n\r\n";
  return reply;
}

bool HttpServer::ParseRequest(std::string_view raw, const HttpLimits& limits, HttpRequest* request) {
  http::request_parser<http::string_body> parser;
  parser.eager(true);
  parser.header_limit(static_cast<std::uint32_t>(limits.maxHeadBytes));
  parser.body_limit(limits.maxBodyBytes);
  beast::error_code ec;
  std::size_t used = 0;
  while (!parser.is_done() && used < raw.size()) {
    std::size_t n = parser.put(asio::buffer(raw.data() + used, raw.size() - used), ec);
    if (ec) return false;  // need_more included: the request is not whole
    if (n == 0) return false;
    used += n;
  }
  if (!parser.is_done()) return false;
  *request = ToRequest(parser.get());
  return true;
}

void HttpServer::SendReply(HttpConnection* conn, std::string text) {
  if (conn) conn->Reply(std::move(text));
}

std::weak_ptr<HttpConnection> HttpServer::Handle(HttpConnection* conn) {
  return conn ? conn->weak_from_this() : std::weak_ptr<HttpConnection>();
}

platform::GatePtr HttpServer::Home(HttpConnection* conn) {
  return conn ? conn->Server().impl_->gate : nullptr;
}

void HttpServer::SetDeadline(HttpConnection* conn, std::chrono::milliseconds limit, std::function<void()> fn) {
  if (conn) conn->SetDeadline(limit, std::move(fn));
}

void HttpServer::HandleRequest(const HttpRequest& request, HttpConnection* conn, ReplySender reply) {
  {
    const std::string path = request.target.substr(0, request.target.find('?'));
    const bool known = routes_.count(path) > 0 || path == "/api/hello";
    CFleetCounters::Process().HttpRequest(HttpPort::Api, known ? path : "other");
  }
  // The SN header: exact name, among the first 39 headers; the first one counts.
  const std::string* sn = nullptr;
  for (std::size_t i = 0; i < request.headers.size() && i < kMaxHeaders; ++i) {
    if (request.headers[i].first == "SN") {
      sn = &request.headers[i].second;
      break;
    }
  }
  if (sn == nullptr || sn->empty()) return reply(conn, "no sn");

  std::string uri = request.target.substr(0, request.target.find('?'));

  // The body in GBK, up to its first zero byte; a failed conversion gives "".
  // What does not fit the 260-byte buffer with its terminator is refused.
  std::string body;
  if (!request.body.empty()) {
    std::vector<char> converted(request.body.size());
    int length = 0;
    Utf8ToGbk(request.body.data(), static_cast<int>(request.body.size()), converted.data(), &length);
    if (length > kBodyBuffer - 1) return reply(conn, "body too long");
    body.assign(converted.data(), strnlen(converted.data(), static_cast<std::size_t>(length)));
  }

  auto route = routes_.find(uri);
  if (route != routes_.end()) {
    RouteHandler handler = route->second;
    handler(context_, uri, body, *sn, conn, reply);
    return;
  }
  reply(conn, uri == "/api/hello" ? "welcome to tarnel" : "no this api");
}

bool HttpServer::Run() {
  {
    std::lock_guard<std::mutex> lock(runLock_);
    if (stopRequested_) return true;
    impl_ = std::make_unique<Impl>();
  }
  unsigned long port = std::strtoul(port_.c_str(), nullptr, 10);
  tcp::endpoint endpoint(asio::ip::address_v4::any(), static_cast<unsigned short>(port));
  impl_->acceptor.emplace(impl_->io);
  lastError_ = OpenAcceptor(*impl_->acceptor, endpoint);
  if (!lastError_.empty()) {
    impl_->acceptor.reset();
    return false;
  }
  boundPort_ = impl_->acceptor->local_endpoint().port();
  if (diagnostics_) {
    std::fputs("http server listenning...\n", diagnostics_);
    std::fflush(diagnostics_);
  }
  Accept();
  impl_->io.run();
  return true;
}

void HttpServer::Accept() {
  AcceptLoop loop;
  loop.acceptor = &*impl_->acceptor;
  loop.backoff = &impl_->backoff;
  loop.connections = &connections_;
  loop.maxConnections = limits_.maxConnections;
  loop.stopped = [this] { return impl_->stopped.load(); };
  loop.serve = [this](tcp::socket socket) { std::make_shared<HttpConnection>(*this, std::move(socket))->Start(); };
  AcceptForEver(loop);
}

void HttpServer::Stop() {
  std::lock_guard<std::mutex> lock(runLock_);
  stopRequested_ = true;
  if (!impl_) return;
  impl_->stopped = true;
  impl_->gate->Close();  // answers still on their way are dropped
  impl_->io.stop();
}

}  // namespace velmo
