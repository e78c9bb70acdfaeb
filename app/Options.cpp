#include "app/Options.h"

#include <unistd.h>

#include <charconv>
#include <cstring>
#include <string_view>

#include "admin/AdminAccess.h"
#include "platform/LongOptions.h"

namespace velmo {

namespace {

bool ParsePort(std::string_view text, std::uint16_t* port) {
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty() || value > 65535) return false;
  *port = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace

std::string UsageText(const char* program) {
  std::string p = program ? program : "velmo";
  return "Usage: " + p +
         " [options]\n"
         "Velmo: server for networked field devices.\n"
         "\n"
         "Options:\n"
         "  --headless            run without a window; the event log goes to standard output\n"
         "                        (automatic when no display is available)\n"
         "  --device-port PORT    TCP port for devices (default 8899)\n"
         "  --http-port PORT      TCP port of the HTTP API (default 8003)\n"
         "  --bind ADDRESS        IPv4 address to listen on for devices (default: all interfaces)\n"
         "  --file-dir DIR        directory for uploaded files (default: the executable's directory)\n"
         "  --led-file PATH       text shown on the LED device (default: weather.htm in the file directory)\n"
         "  --download-root DIR   devices may download files from inside DIR (default: the file directory)\n"
         "  --io-threads N        threads for device connections, 1-256 (default: one per core)\n"
         "  --admin-port PORT     the management port: console, fleet API, metrics (default 8004;\n"
         "                        off: none)\n"
         "  --admin-bind ADDRESS  address of the management port (default 127.0.0.1; another than\n"
         "                        loopback needs --admin-token-file)\n"
         "  --admin-token-file PATH  the management port asks for this token (Bearer; default: none,\n"
         "                        then only loopback clients with the right Host are served)\n"
         "  --log-file PATH       also append every log line to PATH (UTF-8; default: none;\n"
         "                        SIGHUP reopens it)\n"
         "  --event-webhook URL   POST every device event as JSON to URL (http:// only; default: none)\n"
         "  --proxy-protocol      device connections come from a load balancer and start with a\n"
         "                        PROXY header (v1 or v2) naming the device's address (default: off)\n"
         "  --cluster redis://HOST:PORT[/DB]  join a fleet of nodes sharing one device registry in\n"
         "                        Redis: any node answers for any device (default: none)\n"
         "  --node-id ID          this node's name in the fleet (default: host name:device port)\n"
         "  --advertise HOST:PORT where the other nodes reach this node's management port\n"
         "                        (default 127.0.0.1:<admin port>)\n"
         "  --cluster-token-file PATH  the secret the nodes share (required with --cluster)\n"
         "  --version             print the version\n"
         "  -h, --help            show this text\n";
}

ParseResult ParseCommandLine(int argc, const char* const* argv, AppOptions* options, std::string* error) {
  static constexpr platform::LongOption kOptions[] = {
      {"help", false},     {"version", false},  {"headless", false}, {"device-port", true}, {"http-port", true},
      {"io-threads", true}, {"bind", true},     {"file-dir", true},    {"led-file", true},
      {"log-file", true},  {"download-root", true}, {"admin-port", true}, {"admin-bind", true},
      {"admin-token-file", true}, {"event-webhook", true}, {"proxy-protocol", false},
      {"cluster", true},   {"node-id", true},   {"advertise", true}, {"cluster-token-file", true},
  };
  bool help = false, version = false;
  auto on = [&](std::string_view name, const char* text, platform::OptionCursor&, std::string* err) {
    const std::string_view value = text ? text : "";
    const std::string option = "option --" + std::string(name);
    if (name == "h" || name == "help") {
      help = true;
      return false;  // the rest is not looked at
    }
    if (name == "version") {
      version = true;
      return false;  // the rest is not looked at
    }
    if (name == "headless") {
      options->headless = true;
    } else if (name == "proxy-protocol") {
      options->proxyProtocol = true;
    } else if (name == "admin-port") {
      if (value == "off") {
        options->adminEnabled = false;
      } else if (!ParsePort(value, &options->adminPort)) {
        *err = option + ": '" + std::string(value) + "' is not a port number (0-65535) or off";
        return false;
      } else {
        options->adminEnabled = true;
      }
    } else if (name == "event-webhook") {
      WebhookUrl url;
      std::string why;
      if (!ParseWebhookUrl(value, &url, &why)) {
        *err = option + ": '" + std::string(value) + "': " + why;
        return false;
      }
      options->eventWebhook = std::move(url);
    } else if (name == "cluster") {
      std::string why;
      if (!ParseRedisUrl(value, &options->cluster, &why)) {
        *err = option + ": '" + std::string(value) + "': " + why;
        return false;
      }
    } else if (name == "advertise") {
      std::string host;
      std::uint16_t port = 0;
      if (!ParseHostPort(value, &host, &port)) {
        *err = option + ": '" + std::string(value) + "' is not HOST:PORT";
        return false;
      }
      options->cluster.advertise = std::string(value);
    } else if (name == "node-id") {
      if (value.empty() || value.size() > 128 || value.find_first_of(" \t\r\n") != std::string_view::npos) {
        *err = option + ": '" + std::string(value) + "' must be 1-128 bytes without white space";
        return false;
      }
      options->cluster.nodeId = std::string(value);
    } else if (name == "device-port" || name == "http-port") {
      std::uint16_t port;
      if (!ParsePort(value, &port)) {
        *err = option + ": '" + std::string(value) + "' is not a port number (0-65535)";
        return false;
      }
      (name == "device-port" ? options->devicePort : options->httpPort) = port;
    } else if (name == "io-threads") {
      unsigned n = 0;
      auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
      if (ec != std::errc() || end != value.data() + value.size() || value.empty() || n < 1 || n > 256) {
        *err = option + ": '" + std::string(value) + "' is not a number of threads (1-256)";
        return false;
      }
      options->ioThreads = n;
    } else {  // the paths and the address
      if (value.size() > 259) {
        *err = option + ": the value is longer than 259 bytes";
        return false;
      }
      std::string v(value);
      if (name == "bind") options->bindAddress = v;
      else if (name == "file-dir") options->fileDir = v;
      else if (name == "led-file") options->ledFile = v;
      else if (name == "download-root") options->downloadRoot = v;
      else if (name == "admin-bind") options->adminBind = v;
      else if (name == "admin-token-file") options->adminTokenFile = v;
      else if (name == "cluster-token-file") options->cluster.tokenFile = v;
      else options->logFile = v;
    }
    return true;
  };
  if (platform::ForEachOption(argc, argv, kOptions, on, error)) return ParseResult::Run;
  if (version) return ParseResult::Version;
  return help ? ParseResult::Help : ParseResult::Error;
}

bool PrepareAdminAccess(AppOptions* options, std::string* error, std::string* warning) {
  if (!options->adminEnabled) return true;
  if (!options->adminTokenFile.empty()) {
    return ReadTokenFile(options->adminTokenFile, &options->adminToken, error, warning);
  }
  if (!IsLoopbackAddress(options->adminBind)) {
    *error = "--admin-bind " + options->adminBind +
             " opens the management port to the network: give it --admin-token-file too";
    return false;
  }
  return true;
}

bool PrepareCluster(AppOptions* options, std::string* error, std::string* warning) {
  ClusterConfig& c = options->cluster;
  if (!c.enabled) {
    if (!c.nodeId.empty() || !c.advertise.empty() || !c.tokenFile.empty()) {
      *error = "--node-id, --advertise and --cluster-token-file belong with --cluster";
      return false;
    }
    return true;
  }
  if (!options->adminEnabled) {
    *error = "--cluster needs the management port (the nodes reach each other there): drop --admin-port off";
    return false;
  }
  if (c.tokenFile.empty()) {
    *error = "--cluster needs --cluster-token-file, the secret the nodes share";
    return false;
  }
  if (!ReadTokenFile(c.tokenFile, &c.token, error, warning)) return false;
  if (c.nodeId.empty()) {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') std::strcpy(host, "velmo");
    c.nodeId = std::string(host) + ":" + std::to_string(options->devicePort);
  }
  if (c.advertise.empty()) c.advertise = "127.0.0.1:" + std::to_string(options->adminPort);
  return true;
}

}  // namespace velmo
