#include "app/Options.h"

#include <charconv>
#include <cstring>
#include <string_view>

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
         "  --log-file PATH       also append every log line to PATH (UTF-8)\n"
         "  --download-root DIR   devices may download files from inside DIR (default: the file directory)\n"
         "  --io-threads N        threads for device connections, 1-256 (default: one per core)\n"
         "  -h, --help            show this text\n";
}

ParseResult ParseCommandLine(int argc, const char* const* argv, AppOptions* options, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::string_view value;
    bool hasInlineValue = false;
    if (arg.rfind("--", 0) == 0) {
      auto eq = arg.find('=');
      if (eq != std::string_view::npos) {
        value = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
        hasInlineValue = true;
      }
    }
    auto needValue = [&](std::string_view name) -> bool {
      if (hasInlineValue) return true;
      if (i + 1 >= argc) {
        *error = "option " + std::string(name) + " needs a value";
        return false;
      }
      value = argv[++i];
      return true;
    };

    if (arg == "-h" || arg == "--help") return ParseResult::Help;
    if (arg == "--headless") {
      if (hasInlineValue) {
        *error = "option --headless takes no value";
        return ParseResult::Error;
      }
      options->headless = true;
    } else if (arg == "--device-port" || arg == "--http-port") {
      if (!needValue(arg)) return ParseResult::Error;
      std::uint16_t port;
      if (!ParsePort(value, &port)) {
        *error = "option " + std::string(arg) + ": '" + std::string(value) + "' is not a port number (0-65535)";
        return ParseResult::Error;
      }
      (arg == "--device-port" ? options->devicePort : options->httpPort) = port;
    } else if (arg == "--io-threads") {
      if (!needValue(arg)) return ParseResult::Error;
      unsigned n = 0;
      auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
      if (ec != std::errc() || end != value.data() + value.size() || value.empty() || n < 1 || n > 256) {
        *error = "option --io-threads: '" + std::string(value) + "' is not a number of threads (1-256)";
        return ParseResult::Error;
      }
      options->ioThreads = n;
    } else if (arg == "--bind" || arg == "--file-dir" || arg == "--led-file" || arg == "--log-file" ||
               arg == "--download-root") {
      if (!needValue(arg)) return ParseResult::Error;
      if (value.size() > 259) {
        *error = "option " + std::string(arg) + ": the value is longer than 259 bytes";
        return ParseResult::Error;
      }
      std::string v(value);
      if (arg == "--bind") options->bindAddress = v;
      else if (arg == "--file-dir") options->fileDir = v;
      else if (arg == "--led-file") options->ledFile = v;
      else if (arg == "--download-root") options->downloadRoot = v;
      else options->logFile = v;
    } else {
      *error = "unknown option '" + std::string(argv[i]) + "'";
      return ParseResult::Error;
    }
  }
  return ParseResult::Run;
}

}  // namespace velmo
