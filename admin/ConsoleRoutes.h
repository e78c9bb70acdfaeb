// The operator console: one page, its style sheet and its script, built into
// velmo (admin/console, embedded at build time by admin/console/embed.cmake) and
// served at "/" of the management port. The files are static: served without
// the token, so the page can ask the operator for it; everything the page
// shows comes from the fleet API, with the token.
#pragma once

#include <string_view>

#include "admin/AdminServer.h"

namespace velmo {

// Registers GET /, /console.css and /console.js on `server`. Call it before
// the other routes are added (AddAdminRoutes does).
void AddConsoleRoutes(CAdminServer& server);

// The embedded console file `name` ("index.html", "console.css",
// "console.js"); empty when there is no such file. Defined in the generated
// ConsoleFiles.cpp.
std::string_view EmbeddedConsoleFile(std::string_view name);

}  // namespace velmo
