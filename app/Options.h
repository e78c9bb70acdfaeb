// Velmo's command line. Defaults are the designed values.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "cluster/ClusterConfig.h"
#include "app/EventWebhook.h"

namespace velmo {

struct AppOptions {
  bool headless = false;
  std::uint16_t devicePort = 8899;
  std::uint16_t httpPort = 8003;
  std::string bindAddress;  // "" = all interfaces
  std::string fileDir;      // "" = the executable's directory
  std::string ledFile;      // "" = "weather.htm" in the file directory
  std::string logFile;      // "" = no log file
  std::string downloadRoot; // "" = the file directory
  unsigned ioThreads = 0;   // device I/O threads; 0 = one per core
  bool proxyProtocol = false;  // device connections start with a PROXY header (behind a load balancer)
  std::chrono::milliseconds proxyHeaderWait{5000};  // not a command-line option: tests shorten it
  // The management port.
  bool adminEnabled = true;             // --admin-port off: false
  std::uint16_t adminPort = 8004;
  std::string adminBind = "127.0.0.1";
  std::string adminTokenFile;           // "" = no token
  std::string adminToken;               // read from adminTokenFile by the program, never from the command line
  // --event-webhook: where device events are POSTed; none when empty.
  std::optional<WebhookUrl> eventWebhook;
  WebhookTiming webhookTiming;  // not a command-line option: tests shorten it
  // --cluster and its companions: one node of a fleet sharing a registry.
  ClusterConfig cluster;
  // Bound of each stage of a wait for a device (API and management port);
  // not a command-line option: tests shorten it.
  std::chrono::milliseconds deviceWait{5000};
};

enum class ParseResult { Run, Help, Version, Error };

// Parses argv into `options`. On Error, `error` holds a one-line message.
ParseResult ParseCommandLine(int argc, const char* const* argv, AppOptions* options, std::string* error);

// Reads the management port's token file and checks that a port reachable
// from the network has a token. Returns false with a one-line `error`;
// `warning` is set for a token file others may read.
bool PrepareAdminAccess(AppOptions* options, std::string* error, std::string* warning);

// With --cluster: reads the cluster token file, fills in the node id and the
// advertised address, and checks that the management port (where the other
// nodes reach this one) is on. Returns false with a one-line `error`;
// `warning` is set for a token file others may read. Without --cluster it
// refuses the cluster's other options.
bool PrepareCluster(AppOptions* options, std::string* error, std::string* warning);

// The text printed by --help.
std::string UsageText(const char* program);

}  // namespace velmo
