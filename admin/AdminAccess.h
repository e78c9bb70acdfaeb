// Who may use the management port. Two regimes:
// - with a token: every request but the console's static files must carry
//   "Authorization: Bearer <token>" (compared in constant time);
// - without one (the port then listens on loopback only): the Host must be
//   127.0.0.1, localhost or [::1] (any port), so a web page elsewhere cannot
//   reach it through DNS rebinding, and a state-changing request must carry
//   "X-Velmo-Request: 1", which a cross-site form cannot set.
// Either way, when Velmo is one node of a fleet, a request from another node
// carries "X-Velmo-Cluster-Token: <cluster token>" instead, and only such a
// request may use the routes between nodes.
//
// Thread safety: the functions keep no state; an AdminAccess is read-only
// once the server runs.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmo {

struct AdminAccess {
  std::string token;         // "": no token configured
  std::string clusterToken;  // "": not one node of a fleet
};

// What a request shows of itself to the access check.
struct AccessRequest {
  std::string_view host;           // the Host header
  std::string_view authorization;  // the Authorization header
  std::string_view velmoRequest;   // the X-Velmo-Request header
  bool changesState = false;       // not GET/HEAD
  bool staticFile = false;         // the console's own files
  std::string_view clusterToken;   // the X-Velmo-Cluster-Token header
};

// A refusal: the status and the JSON error body.
struct AccessRefusal {
  unsigned status;
  std::string body;
};

// Nothing when the request may go on; otherwise 401 {"error":"unauthorized"}
// or 403 {"error":"forbidden host"} / {"error":"missing X-Velmo-Request header"}.
std::optional<AccessRefusal> CheckAccess(const AdminAccess& access, const AccessRequest& request);

// True for 127.0.0.0/8, ::1 and "localhost".
bool IsLoopbackAddress(std::string_view address);
// True when `host` (a Host header) names this machine's loopback: 127.0.0.1,
// localhost or [::1], with or without a port.
bool IsLoopbackHost(std::string_view host);
// Constant-time comparison of "Bearer <token>" with `expected` (not empty).
bool BearerMatches(std::string_view authorization, std::string_view expected);
// Constant-time comparison of a secret with `expected` (false when empty).
bool SecretMatches(std::string_view given, std::string_view expected);
// True when the request comes from another node: it carries the cluster
// token (compared in constant time) and one is configured.
bool FromClusterNode(const AdminAccess& access, const AccessRequest& request);

// Reads a token file: its content without trailing white space. Returns
// false with `error` set when it cannot be read or is empty; `warning` is set
// when others than its owner may read it.
bool ReadTokenFile(const std::string& path, std::string* token, std::string* error, std::string* warning);

}  // namespace velmo
