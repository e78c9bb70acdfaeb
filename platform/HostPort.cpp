#include "platform/HostPort.h"

#include <charconv>

namespace velmo {

bool ParseAuthority(std::string_view authority, std::string* host, std::optional<std::uint16_t>* port,
                    std::string* error) {
  std::string_view name, rest;
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) {
      *error = "an IPv6 address needs its closing ]";
      return false;
    }
    name = authority.substr(1, close - 1);
    rest = authority.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') {
      *error = "unexpected text after the IPv6 address";
      return false;
    }
  } else {
    const std::size_t colon = authority.find(':');
    name = authority.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : authority.substr(colon);
  }
  if (name.empty()) {
    *error = "there is no host";
    return false;
  }
  port->reset();
  if (!rest.empty()) {
    const std::string_view digits = rest.substr(1);
    unsigned value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || value == 0 || value > 65535) {
      *error = "the port must be a number from 1 to 65535";
      return false;
    }
    *port = static_cast<std::uint16_t>(value);
  }
  *host = std::string(name);
  return true;
}

}  // namespace velmo
