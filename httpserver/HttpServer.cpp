#include "httpserver/HttpServer.h"

#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "socketserver/DeviceReach.h"

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

// One client connection of the API: the dispatcher runs on the HTTP thread
// and the reply, whenever it comes and from whichever thread, is written
// there too; then the next request is read.
class HttpConnection final : public CHttpConnection {
 public:
  HttpConnection(HttpServer& server, tcp::socket socket) : CHttpConnection(server, std::move(socket)), server_(server) {}

  // Any thread: queue the reply; only the first reply of a request is sent.
  void Reply(std::string text) {
    if (replied_.exchange(true)) return;
    asio::post(Stream().get_executor(), [self = shared_from_this(), bytes = HttpServer::FormatReply(text)]() mutable {
      auto* me = static_cast<HttpConnection*>(self.get());
      me->Write(std::move(bytes), me->keepAlive_);
    });
  }

  HttpServer& Server() const { return server_; }

 private:
  void OnRequest(Message& message) override {
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
    server_.HandleRequest(request, this, &HttpServer::SendReply);
  }

  std::string FailureAnswer(ReadFailure failure) override {
    switch (failure) {
      case ReadFailure::HeadTooLarge: return HttpServer::FormatReply("request head too large");
      case ReadFailure::BodyTooLong: return HttpServer::FormatReply("body too long");
      case ReadFailure::BadRequest: break;
    }
    return HttpServer::FormatReply("bad request");
  }

  HttpServer& server_;
  bool keepAlive_ = true;             // HTTP thread
  std::atomic<bool> replied_{false};  // one reply per request
};

HttpServer::HttpServer(void* context) : CHttpService("velmo-http", HttpLimits{}), context_(context) {}

HttpServer::~HttpServer() { Stop(); }

void HttpServer::AddRoute(const std::string& path, RouteHandler handler) { routes_.emplace(path, std::move(handler)); }

bool HttpServer::Start(std::function<void()> starting, std::function<void(const std::string& error)> failed) {
  const unsigned long port = std::strtoul(port_.c_str(), nullptr, 10);
  return CHttpService::Start("0.0.0.0", static_cast<std::uint16_t>(port), std::move(starting), std::move(failed));
}

std::shared_ptr<CHttpConnection> HttpServer::Accepted(tcp::socket socket) {
  return std::make_shared<HttpConnection>(*this, std::move(socket));
}

void HttpServer::OnListening() {
  if (!diagnostics_) return;
  std::fputs("http server listenning...\n", diagnostics_);
  std::fflush(diagnostics_);
}

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
  if (!conn) return {};
  return std::static_pointer_cast<HttpConnection>(conn->shared_from_this());
}

platform::ThreadHome HttpServer::Home(HttpConnection* conn) {
  return conn ? conn->Server().CHttpService::Home() : platform::ThreadHome{};
}

void HttpServer::HandleRequest(const HttpRequest& request, HttpConnection* conn, ReplySender reply) {
  if (conn) Owner().Check("HttpServer::HandleRequest");
  const std::string uri = request.target.substr(0, request.target.find('?'));
  counters_.Request(routes_.count(uri) > 0 || uri == "/api/hello" ? uri : "other");
  // The SN header: exact name, among the first 39 headers; the first one counts.
  const std::string* sn = nullptr;
  for (std::size_t i = 0; i < request.headers.size() && i < kMaxHeaders; ++i) {
    if (request.headers[i].first == "SN") {
      sn = &request.headers[i].second;
      break;
    }
  }
  if (sn == nullptr || sn->empty()) return reply(conn, "no sn");

  // The body in GBK, up to its first zero byte; a failed conversion gives "".
  // What does not fit the 260-byte buffer with its terminator is refused.
  const ConvertedText body = ConvertToGbk(request.body);
  if (body.length > static_cast<std::size_t>(kBodyBuffer - 1)) return reply(conn, "body too long");

  auto route = routes_.find(uri);
  if (route != routes_.end()) {
    RouteHandler handler = route->second;
    handler(context_, uri, body.text, *sn, conn, reply);
    return;
  }
  reply(conn, uri == "/api/hello" ? "welcome to tarnel" : "no this api");
}

}  // namespace velmo
