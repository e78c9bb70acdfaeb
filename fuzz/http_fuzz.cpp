// Fuzzes the HTTP API's request dispatcher: raw request bytes in, reply bytes
// out. No device is registered, so the routes answer at once.
#include <cstdlib>
#include <string>

#include "httpserver/ApiRoutes.h"
#include "httpserver/HttpServer.h"

namespace {
std::string g_reply;
int g_replies = 0;
void Capture(velmo::HttpConnection*, std::string text) {
  g_reply = velmo::HttpServer::FormatReply(text);
  ++g_replies;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static velmo::ApiContext context{};  // no device reach: every device is offline, answered at once
  static velmo::HttpServer* server = [] {
    auto* s = new velmo::HttpServer(&context);
    s->AddRoute("/api/cmd", &velmo::OnApiCmd);
    s->AddRoute("/api/status", &velmo::OnApiStatus);
    return s;
  }();
  velmo::HttpRequest request;
  if (!velmo::HttpServer::ParseRequest(std::string_view(reinterpret_cast<const char*>(data), size),
                                       velmo::HttpLimits{}, &request)) {
    return 0;
  }
  g_replies = 0;
  server->HandleRequest(request, nullptr, &Capture);
  if (g_replies != 1) std::abort();  // every request is answered exactly once
  if (g_reply.rfind("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", 0) != 0) std::abort();
  return 0;
}
