#include "socketserver/ProxyHeader.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

namespace velmo {

namespace {

constexpr std::uint8_t kV2Signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr std::string_view kV1Prefix = "PROXY ";
constexpr std::size_t kV1MaxLine = 107;  // with its CR LF

// True when the `size` bytes at `data` begin `whole` (or `whole` begins them).
bool Prefix(const std::uint8_t* data, std::size_t size, const std::uint8_t* whole, std::size_t wholeSize) {
  return std::memcmp(data, whole, std::min(size, wholeSize)) == 0;
}

ProxyParse Bad(std::string* why, const char* text) {
  *why = text;
  return ProxyParse::Malformed;
}

// A decimal port: digits only, at most 65535.
bool ParsePort(std::string_view text, std::uint16_t* port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 65535) return false;
  *port = static_cast<std::uint16_t>(value);
  return true;
}

// The address `text` of family `af` in its usual form, or false.
bool ParseAddress(int af, std::string_view text, std::string* out) {
  if (text.size() >= INET6_ADDRSTRLEN) return false;
  char buffer[INET6_ADDRSTRLEN] = {};
  std::memcpy(buffer, text.data(), text.size());
  std::uint8_t binary[16];
  if (inet_pton(af, buffer, binary) != 1) return false;
  char shown[INET6_ADDRSTRLEN];
  if (!inet_ntop(af, binary, shown, sizeof shown)) return false;
  *out = shown;
  return true;
}

ProxyParse ParseV1(const std::uint8_t* data, std::size_t size, ProxyHeader* out, std::string* why) {
  const std::string_view seen(reinterpret_cast<const char*>(data), std::min(size, kV1MaxLine));
  const std::size_t end = seen.find("\r\n");
  if (end == std::string_view::npos) {
    return size >= kV1MaxLine ? Bad(why, "PROXY v1 line longer than 107 bytes") : ProxyParse::NeedMore;
  }
  std::vector<std::string_view> fields;
  std::string_view line = seen.substr(kV1Prefix.size(), end - kV1Prefix.size());
  while (!line.empty()) {
    const std::size_t space = line.find(' ');
    fields.push_back(line.substr(0, space));
    if (space == std::string_view::npos) break;
    line.remove_prefix(space + 1);
  }
  ProxyHeader h;
  h.length = end + 2;
  if (!fields.empty() && fields[0] == "UNKNOWN") {
    *out = h;
    return ProxyParse::Done;
  }
  if (fields.size() != 5 || (fields[0] != "TCP4" && fields[0] != "TCP6")) {
    return Bad(why, "PROXY v1 line is not TCP4/TCP6 with two addresses and two ports");
  }
  h.v6 = fields[0] == "TCP6";
  const int af = h.v6 ? AF_INET6 : AF_INET;
  std::string destination;
  std::uint16_t destinationPort = 0;
  if (!ParseAddress(af, fields[1], &h.ip) || !ParseAddress(af, fields[2], &destination)) {
    return Bad(why, "PROXY v1 address is not one of its family");
  }
  if (!ParsePort(fields[3], &h.port) || !ParsePort(fields[4], &destinationPort)) {
    return Bad(why, "PROXY v1 port is not a number from 0 to 65535");
  }
  h.hasAddress = true;
  *out = h;
  return ProxyParse::Done;
}

ProxyParse ParseV2(const std::uint8_t* data, std::size_t size, ProxyHeader* out, std::string* why) {
  if (size < 16) return ProxyParse::NeedMore;
  const std::uint8_t version = data[12] >> 4, command = data[12] & 0x0F;
  if (version != 2) return Bad(why, "PROXY v2 header with another version");
  if (command > 1) return Bad(why, "PROXY v2 command is neither LOCAL nor PROXY");
  const std::size_t length = 16 + (static_cast<std::size_t>(data[14]) << 8 | data[15]);
  if (length > kMaxProxyHeader) return Bad(why, "PROXY v2 header longer than Velmo accepts");
  if (size < length) return ProxyParse::NeedMore;
  ProxyHeader h;
  h.length = length;
  const std::uint8_t family = data[13] >> 4, transport = data[13] & 0x0F;
  if (command == 0 || family == 0 || family == 3) {  // LOCAL (a health check), UNSPEC, UNIX: no TCP address
    *out = h;
    return ProxyParse::Done;
  }
  if (family > 3 || transport != 1) return Bad(why, "PROXY v2 header is not for a TCP stream");
  h.v6 = family == 2;
  const std::size_t addressBytes = h.v6 ? 16 : 4;
  if (length - 16 < 2 * addressBytes + 4) return Bad(why, "PROXY v2 addresses are cut short");
  const std::uint8_t* source = data + 16;
  char shown[INET6_ADDRSTRLEN];
  if (!inet_ntop(h.v6 ? AF_INET6 : AF_INET, source, shown, sizeof shown)) return Bad(why, "PROXY v2 address");
  h.ip = shown;
  const std::uint8_t* ports = source + 2 * addressBytes;
  h.port = static_cast<std::uint16_t>(ports[0] << 8 | ports[1]);
  h.hasAddress = true;
  *out = h;
  return ProxyParse::Done;
}

}  // namespace

ProxyParse ParseProxyHeader(const std::uint8_t* data, std::size_t size, ProxyHeader* out, std::string* why) {
  if (size == 0) return ProxyParse::NeedMore;
  const auto* v1 = reinterpret_cast<const std::uint8_t*>(kV1Prefix.data());
  if (Prefix(data, size, kV2Signature, sizeof kV2Signature)) {
    return size < sizeof kV2Signature ? ProxyParse::NeedMore : ParseV2(data, size, out, why);
  }
  if (Prefix(data, size, v1, kV1Prefix.size())) {
    return size < kV1Prefix.size() ? ProxyParse::NeedMore : ParseV1(data, size, out, why);
  }
  return Bad(why, "no PROXY header at the start of the connection");
}

}  // namespace velmo
