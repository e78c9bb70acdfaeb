// "host", "host:port", "[v6]" or "[v6]:port": the authority of a URL or an
// address given on the command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmo {

// Splits `authority` into `host` (an IPv6 address without its brackets) and
// `port` (nothing when it has none). Returns false with a short `error` for
// a missing host, an unclosed "[", text after "]" or a port that is not
// 1-65535.
bool ParseAuthority(std::string_view authority, std::string* host, std::optional<std::uint16_t>* port,
                    std::string* error);

}  // namespace velmo
