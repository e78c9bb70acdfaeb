// How a Velmo node joins a fleet of nodes sharing one device registry
// (--cluster and its companions), and the registry's timings.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmo {

// The registry's timings. Entries live `entryTtl` unless refreshed; each node
// refreshes its own every `refreshInterval` and its node record (which lives
// `nodeTtl`) every `nodeInterval`. Every Redis call gives up after
// `callTimeout`; a lost registry is tried again every `retryInterval`.
struct ClusterTiming {
  std::chrono::milliseconds entryTtl{15000};
  std::chrono::milliseconds refreshInterval{5000};
  std::chrono::milliseconds nodeTtl{10000};
  std::chrono::milliseconds nodeInterval{3000};
  std::chrono::milliseconds callTimeout{1000};
  std::chrono::milliseconds retryInterval{1000};
  std::chrono::milliseconds connectTimeout{1000};  // another node's management port
};

struct ClusterConfig {
  bool enabled = false;       // --cluster given
  std::string redisHost;      // a name or an address ([v6] without brackets)
  std::uint16_t redisPort = 6379;
  unsigned redisDb = 0;
  std::string nodeId;         // "" = host name and device port
  std::string advertise;      // HOST:PORT of this node's management port; "" = 127.0.0.1:<admin port>
  std::string tokenFile;      // --cluster-token-file
  std::string token;          // read from tokenFile by the program, never from the command line
  ClusterTiming timing;       // not a command-line option: tests shorten it
};

// Parses "redis://HOST[:PORT][/DB]" into `config`. Returns false with a
// one-line `error` for anything else.
bool ParseRedisUrl(std::string_view url, ClusterConfig* config, std::string* error);

// Parses "HOST:PORT" ([v6]:PORT for IPv6). Returns false for anything else.
bool ParseHostPort(std::string_view text, std::string* host, std::uint16_t* port);

}  // namespace velmo
