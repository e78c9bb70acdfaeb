// The command line's long options, read with getopt_long: "--name value",
// "--name=value" and the short "-h" all work the same way in every Velmo
// program, and the programs share one wording for mistakes.
//
// Thread safety: getopt_long keeps its place in process globals; parse a
// command line on one thread at a time (programs do it once, at start-up).
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace velmo::platform {

struct LongOption {
  const char* name;    // without "--"
  bool takesValue;     // "--name value" or "--name=value"; otherwise a plain switch
};

// Hands the arguments after an option's value to its handler (an option that
// takes more than one value, such as "--relay SN TEXT").
class OptionCursor {
 public:
  OptionCursor(int argc, const char* const* argv) : argc_(argc), argv_(argv) {}
  // The next argument, consumed; nullptr when there is none.
  const char* Next();

 private:
  int argc_;
  const char* const* argv_;
};

// Called for each option in command-line order: `name` as in the table ("h"
// for -h), `value` its value or nullptr. Returns false (with `error` set) to
// stop.
using OptionHandler = std::function<bool(std::string_view name, const char* value, OptionCursor& more, std::string* error)>;

// Reads argv[1..argc). Returns false with a one-line `error` at the first
// mistake: "unknown option '--x'", "option --x needs a value", "option --x
// takes no value", "unexpected argument 'x'", or the handler's own.
bool ForEachOption(int argc, const char* const* argv, std::span<const LongOption> options, const OptionHandler& on,
                   std::string* error);

}  // namespace velmo::platform
