#include "platform/LongOptions.h"

#include <getopt.h>

#include <vector>

namespace velmo::platform {

const char* OptionCursor::Next() {
  if (optind >= argc_) return nullptr;
  return argv_[optind++];
}

bool ForEachOption(int argc, const char* const* argv, std::span<const LongOption> options, const OptionHandler& on,
                   std::string* error) {
  std::vector<option> table;
  for (std::size_t i = 0; i < options.size(); ++i) {
    table.push_back({options[i].name, options[i].takesValue ? required_argument : no_argument, nullptr,
                     static_cast<int>(256 + i)});
  }
  table.push_back({nullptr, 0, nullptr, 0});
  // "+": stop at the first argument that is no option and never reorder argv
  // (it is not ours to change); ":": report a missing value as ':'.
  // optind = 0 starts afresh, also when a program parses a second time.
  optind = 0;
  opterr = 0;
  auto* args = const_cast<char* const*>(argv);
  OptionCursor more(argc, argv);
  for (;;) {
    const int previous = optind == 0 ? 1 : optind;
    const int c = getopt_long(argc, args, "+:h", table.data(), nullptr);
    if (c == -1) break;
    // What the user typed, for messages: "--name" without a "=value".
    std::string typed = previous < argc ? argv[previous] : "";
    typed = typed.substr(0, typed.find('='));
    if (c == 'h') {
      if (!on("h", nullptr, more, error)) return false;
    } else if (c == ':') {
      *error = "option " + typed + " needs a value";
      return false;
    } else if (c == '?') {
      // An unknown option, or a switch given "=value".
      const std::string whole = previous < argc ? argv[previous] : "";
      for (const auto& o : options) {
        if (!o.takesValue && typed == std::string("--") + o.name && whole.find('=') != std::string::npos) {
          *error = "option " + typed + " takes no value";
          return false;
        }
      }
      *error = "unknown option '" + whole + "'";
      return false;
    } else {
      const LongOption& o = options[static_cast<std::size_t>(c - 256)];
      if (!on(o.name, optarg, more, error)) return false;
    }
  }
  if (optind < argc) {
    *error = "unexpected argument '" + std::string(argv[optind]) + "'";
    return false;
  }
  return true;
}

}  // namespace velmo::platform
