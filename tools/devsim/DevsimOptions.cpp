#include "tools/devsim/DevsimOptions.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/LongOptions.h"

namespace velmo::devsim {

std::string Usage(const char* program) {
  std::string p = program ? program : "velmo-devsim";
  return "Usage: " + p +
         " [options]\n"
         "Plays one or many devices against a Velmo server: each connects, registers its\n"
         "SN with a heartbeat frame, keeps heartbeating, prints the commands it receives\n"
         "and answers \"query dev_infos\" with a device-information record.\n"
         "\n"
         "Options:\n"
         "  --server HOST:PORT[,HOST:PORT...]  the server's device port (default 127.0.0.1:8899);\n"
         "                        with several, device N connects to server N modulo their number\n"
         "  --reconnect           a device whose connection dropped connects again a second later,\n"
         "                        to the next server (default: it stays away)\n"
         "  --devices N           number of devices (default 1, up to 100000)\n"
         "  --sn SN               the SN of a single device\n"
         "  --sn-prefix PREFIX    SNs are PREFIX + device number, 24 characters (default 2023)\n"
         "  --heartbeat SECONDS   heartbeat interval (default 2; fractions allowed)\n"
         "  --duration SECONDS    stop after this long (default: until Ctrl-C)\n"
         "  --connect-rate N      new connections per second (default 2000)\n"
         "  --relay SN TEXT       play a requester: relay TEXT to the device SN (-46) and print the answer\n"
         "  --query SN TEXT       play a requester: send the query TEXT to the device SN (-56) and\n"
         "                        print its information\n"
         "  --upload FILE         upload FILE to the server's file directory (--name NAME to rename)\n"
         "  --download PATH       download PATH from the server and check its CRC-32\n"
         "                        (--block N, default 99996; --output FILE, default its name)\n"
         "  --quiet               count commands instead of printing them\n"
         "                        (automatic with more than 10 devices)\n"
         "  --version             print the version\n"
         "  -h, --help            show this text\n"
         "\n"
         "Examples: " + p + " --devices 3 --heartbeat 2\n"
         "          " + p + " --relay 202300000000000000000001 'led on'\n";
}

namespace {
bool ParseNumber(std::string_view text, double min, double max, double* out) {
  std::string s(text);
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  if (s.empty() || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}
}  // namespace

Parse ParseOptions(int argc, const char* const* argv, Options* o, std::string* error) {
  static constexpr platform::LongOption kOptions[] = {
      {"help", false},        {"version", false},   {"quiet", false},     {"relay", true},     {"query", true},  {"upload", true},
      {"download", true},     {"name", true},       {"output", true},    {"block", true},  {"server", true},
      {"devices", true},      {"sn", true},         {"sn-prefix", true}, {"heartbeat", true},
      {"duration", true},     {"connect-rate", true},   {"reconnect", false},
  };
  bool help = false, version = false;
  auto on = [&](std::string_view name, const char* text, platform::OptionCursor& more, std::string* err) {
    const std::string option = "option --" + std::string(name);
    const std::string_view value = text ? text : "";
    double number = 0;
    auto bad = [&](const char* what) {
      *err = option + ": '" + std::string(value) + "' is not " + what;
      return false;
    };
    if (name == "h" || name == "help") {
      help = true;
      return false;  // the rest is not looked at
    }
    if (name == "version") {
      version = true;
      return false;
    }
    if (name == "quiet") {
      o->quiet = true;
    } else if (name == "relay" || name == "query") {
      const char* textArg = more.Next();
      if (!textArg) {
        *err = option + " needs an SN and a text";
        return false;
      }
      o->request = name == "relay" ? Options::Request::Relay : Options::Request::Query;
      o->targetSn = std::string(value);
      o->requestText = textArg;
      if (o->targetSn.size() > 24) {
        *err = option + ": an SN has at most 24 characters";
        return false;
      }
    } else if (name == "upload") {
      o->request = Options::Request::Upload;
      o->localFile = std::string(value);
    } else if (name == "download") {
      o->request = Options::Request::Download;
      o->remotePath = std::string(value);
    } else if (name == "name") {
      o->remoteName = std::string(value);
    } else if (name == "output") {
      o->localFile = std::string(value);
    } else if (name == "block") {
      if (!ParseNumber(value, 1, 99996, &number) || number != static_cast<int>(number)) {
        *err = "option --block: '" + std::string(value) + "' is not a block size from 1 to 99996";
        return false;
      }
      o->blockSize = static_cast<int>(number);
    } else if (name == "server") {
      o->servers.clear();
      for (std::string_view rest = value; ;) {
        const std::size_t comma = rest.find(',');
        const std::string_view one = rest.substr(0, comma);
        auto colon = one.rfind(':');
        if (colon == std::string_view::npos || colon == 0) return bad("HOST:PORT[,HOST:PORT...]");
        if (!ParseNumber(one.substr(colon + 1), 1, 65535, &number)) return bad("HOST:PORT[,HOST:PORT...]");
        o->servers.push_back({std::string(one.substr(0, colon)), static_cast<std::uint16_t>(number)});
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
      }
      o->host = o->servers.front().host;
      o->port = o->servers.front().port;
    } else if (name == "reconnect") {
      o->reconnect = true;
    } else if (name == "devices") {
      if (!ParseNumber(value, 1, 100000, &number) || number != static_cast<int>(number)) return bad("a number from 1 to 100000");
      o->devices = static_cast<int>(number);
    } else if (name == "sn") {
      if (value.empty() || value.size() > 259) return bad("an SN of 1 to 259 characters");
      o->sn = std::string(value);
    } else if (name == "sn-prefix") {
      if (value.size() > 23) return bad("a prefix of at most 23 characters");
      o->snPrefix = std::string(value);
    } else if (name == "heartbeat") {
      if (!ParseNumber(value, 0.01, 3600, &number)) return bad("a number of seconds (0.01 to 3600)");
      o->heartbeatSeconds = number;
    } else if (name == "duration") {
      if (!ParseNumber(value, 0, 1e7, &number)) return bad("a number of seconds");
      o->durationSeconds = number;
    } else if (name == "connect-rate") {
      if (!ParseNumber(value, 1, 1e6, &number)) return bad("a positive number");
      o->connectRate = static_cast<int>(number);
    }
    return true;
  };
  if (!platform::ForEachOption(argc, argv, kOptions, on, error)) {
    if (version) return Parse::Version;
    return help ? Parse::Help : Parse::Error;
  }
  if (!o->sn.empty() && o->devices != 1) {
    *error = "--sn names one device; use --sn-prefix with --devices";
    return Parse::Error;
  }
  if (o->devices > 10) o->quiet = true;
  return Parse::Run;
}

std::string DeviceSn(const Options& o, int index) {
  if (!o.sn.empty()) return o.sn;
  std::size_t digits = 24 - o.snPrefix.size();
  char number[32];
  std::snprintf(number, sizeof number, "%0*d", static_cast<int>(digits), index);
  std::string sn = o.snPrefix + number;
  return sn.substr(0, 24);
}

}  // namespace velmo::devsim
