#include "admin/ConsoleRoutes.h"

#include <string>

namespace velmo {

void AddConsoleRoutes(CAdminServer& server) {
  struct File {
    const char* path;
    const char* name;
    const char* type;
  };
  static constexpr File kFiles[] = {
      {"/", "index.html", "text/html; charset=utf-8"},
      {"/console.css", "console.css", "text/css; charset=utf-8"},
      {"/console.js", "console.js", "application/javascript; charset=utf-8"},
  };
  for (const File& f : kFiles) {
    const std::string body(EmbeddedConsoleFile(f.name));
    const std::string type = f.type;
    server.AddRoute(
        boost::beast::http::verb::get, f.path,
        [body, type](const AdminRequest&, AdminReply reply) { reply(AdminResponse{200, type, body}); }, true);
  }
  // Browsers ask for it with every page; the console has none.
  server.AddRoute(
      boost::beast::http::verb::get, "/favicon.ico",
      [](const AdminRequest&, AdminReply reply) { reply(AdminResponse{204, "", ""}); }, true);
}

}  // namespace velmo
