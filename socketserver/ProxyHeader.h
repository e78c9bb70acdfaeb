// The PROXY protocol header (versions 1 and 2) that a TCP load balancer such
// as HAProxy sends at the start of each connection, naming the client's own
// address and port. With --proxy-protocol the device port reads it before
// anything else.
//
// The parser looks at the bytes received so far: it says whether they hold a
// whole header (and how long it is), could still become one, or cannot.
// Everything it reads is bounded by `size`; nothing is copied from outside it.
//
// Thread safety: no state; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmo {

struct ProxyHeader {
  std::size_t length = 0;  // bytes of the header; the device's own bytes follow
  bool hasAddress = false; // false for LOCAL (v2) and UNKNOWN (v1): the connection's own address stands
  bool v6 = false;
  std::string ip;          // the client's address as text ("203.0.113.7", "2001:db8::1")
  std::uint16_t port = 0;  // the client's port
};

enum class ProxyParse { NeedMore, Done, Malformed };

// The longest header accepted: a version 1 line is at most 107 bytes; version
// 2 is 16 bytes and its addresses and TLVs, bounded here.
constexpr std::size_t kMaxProxyHeader = 16 + 1024;

// Parses the start of a connection. Done: `out` is filled. Malformed: `why`
// says what is wrong (for the log). NeedMore: the bytes so far are a prefix
// of a header shorter than kMaxProxyHeader.
ProxyParse ParseProxyHeader(const std::uint8_t* data, std::size_t size, ProxyHeader* out, std::string* why);

}  // namespace velmo
