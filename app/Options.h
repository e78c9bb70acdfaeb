// Velmo's command line. Defaults are the designed values.
#pragma once

#include <cstdint>
#include <string>

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
};

enum class ParseResult { Run, Help, Error };

// Parses argv into `options`. On Error, `error` holds a one-line message.
ParseResult ParseCommandLine(int argc, const char* const* argv, AppOptions* options, std::string* error);

// The text printed by --help.
std::string UsageText(const char* program);

}  // namespace velmo
