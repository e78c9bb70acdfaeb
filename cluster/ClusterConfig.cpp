#include "cluster/ClusterConfig.h"

#include <charconv>
#include <optional>

#include "platform/HostPort.h"

namespace velmo {

namespace {

bool ParseNumber(std::string_view text, unsigned max, unsigned* value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return !text.empty() && ec == std::errc() && end == text.data() + text.size() && *value <= max;
}

// "host", "host:port", "[v6]" or "[v6]:port"; `port` is left alone when absent.
bool SplitHostPort(std::string_view text, std::string* host, std::uint16_t* port, bool portRequired) {
  std::optional<std::uint16_t> given;
  std::string error;
  if (text.find_first_of(" /?#@") != std::string_view::npos || !ParseAuthority(text, host, &given, &error)) {
    return false;
  }
  if (!given) return !portRequired;
  *port = *given;
  return true;
}

}  // namespace

bool ParseRedisUrl(std::string_view url, ClusterConfig* config, std::string* error) {
  constexpr std::string_view kScheme = "redis://";
  if (url.substr(0, kScheme.size()) != kScheme) {
    *error = "expected redis://HOST:PORT[/DB]";
    return false;
  }
  std::string_view rest = url.substr(kScheme.size());
  std::string_view db;
  if (const auto slash = rest.find('/'); slash != std::string_view::npos) {
    db = rest.substr(slash + 1);
    rest = rest.substr(0, slash);
  }
  if (rest.find('@') != std::string_view::npos) {
    *error = "user information in the URL is not supported";
    return false;
  }
  std::uint16_t port = 6379;
  if (!SplitHostPort(rest, &config->redisHost, &port, false)) {
    *error = "expected redis://HOST:PORT[/DB] with a port of 1-65535";
    return false;
  }
  unsigned n = 0;
  if (!db.empty() && !ParseNumber(db, 1u << 20, &n)) {
    *error = "the database must be a number";
    return false;
  }
  config->redisPort = port;
  config->redisDb = n;
  config->enabled = true;
  return true;
}

bool ParseHostPort(std::string_view text, std::string* host, std::uint16_t* port) {
  return SplitHostPort(text, host, port, true);
}

}  // namespace velmo
