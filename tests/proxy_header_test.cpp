// The PROXY protocol header a load balancer puts before a device's bytes:
// versions 1 and 2, whole, cut short, and malformed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "socketserver/ProxyHeader.h"

namespace velmo::test {
namespace {

std::string V2(std::uint8_t command, std::uint8_t family, const std::string& body) {
  std::string h("\r\n\r\n\0\r\nQUIT\n", 12);
  h += static_cast<char>(0x20 | command);
  h += static_cast<char>(family);
  h += static_cast<char>(body.size() >> 8);
  h += static_cast<char>(body.size() & 0xFF);
  return h + body;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

const std::string kV4Body = Bytes({192, 0, 2, 7, 198, 51, 100, 1, 0xDB, 0xFC, 0x22, 0xC3});  // :56316 -> :8899
const std::string kV6Body = Bytes({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1,
                                   0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0x0F, 0xA0, 0x22, 0xC3});

ProxyParse Parse(const std::string& bytes, ProxyHeader* h, std::string* why) {
  return ParseProxyHeader(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), h, why);
}

TEST(ProxyHeader, WholeHeaders) {
  struct Case {
    const char* name;
    std::string header;
    bool hasAddress;
    const char* ip;
    std::uint16_t port;
  } cases[] = {
      {"v1 TCP4", "PROXY TCP4 192.0.2.7 198.51.100.1 56316 8899\r\n", true, "192.0.2.7", 56316},
      {"v1 TCP6", "PROXY TCP6 2001:db8::1 2001:db8::2 4000 8899\r\n", true, "2001:db8::1", 4000},
      {"v1 UNKNOWN", "PROXY UNKNOWN\r\n", false, "", 0},
      {"v1 UNKNOWN with addresses", "PROXY UNKNOWN ffff:f::1 ffff:f::2 1 2\r\n", false, "", 0},
      {"v2 TCP over IPv4", V2(1, 0x11, kV4Body), true, "192.0.2.7", 56316},
      {"v2 TCP over IPv6", V2(1, 0x21, kV6Body), true, "2001:db8::1", 4000},
      {"v2 with TLVs after the addresses", V2(1, 0x11, kV4Body + Bytes({0x04, 0, 3, 'a', 'b', 'c'})), true,
       "192.0.2.7", 56316},
      {"v2 LOCAL (a health check)", V2(0, 0x00, ""), false, "", 0},
      {"v2 UNSPEC", V2(1, 0x00, ""), false, "", 0},
  };
  const std::string device = "@00027-362023A000000000000000000001";
  for (const auto& c : cases) {
    ProxyHeader h;
    std::string why;
    ASSERT_EQ(Parse(c.header + device, &h, &why), ProxyParse::Done) << c.name << ": " << why;
    EXPECT_EQ(h.length, c.header.size()) << c.name;  // the device's bytes are not part of it
    EXPECT_EQ(h.hasAddress, c.hasAddress) << c.name;
    EXPECT_EQ(h.ip, c.ip) << c.name;
    EXPECT_EQ(h.port, c.port) << c.name;
    // Every shorter start of it is worth waiting for.
    for (std::size_t n = 0; n < c.header.size(); ++n) {
      ASSERT_EQ(Parse(c.header.substr(0, n), &h, &why), ProxyParse::NeedMore) << c.name << " cut at " << n;
    }
  }
}

TEST(ProxyHeader, MalformedHeadersAreRefused) {
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"a device's own frame", "@00027-362023A000000000000000000001"},
      {"an HTTP request", "GET / HTTP/1.1\r\n"},
      {"lower case", "proxy TCP4 192.0.2.7 198.51.100.1 1 2\r\n"},
      {"v1 without end", "PROXY TCP4 " + std::string(120, '1')},
      {"v1 bad address", "PROXY TCP4 192.0.2.300 198.51.100.1 1 2\r\n"},
      {"v1 v6 address as TCP4", "PROXY TCP4 2001:db8::1 198.51.100.1 1 2\r\n"},
      {"v1 port too large", "PROXY TCP4 192.0.2.7 198.51.100.1 65536 2\r\n"},
      {"v1 port not a number", "PROXY TCP4 192.0.2.7 198.51.100.1 -1 2\r\n"},
      {"v1 a field missing", "PROXY TCP4 192.0.2.7 198.51.100.1 1\r\n"},
      {"v1 a field too many", "PROXY TCP4 192.0.2.7 198.51.100.1 1 2 3\r\n"},
      {"v1 two spaces", "PROXY TCP4  192.0.2.7 198.51.100.1 1 2\r\n"},
      {"v1 another protocol", "PROXY UDP4 192.0.2.7 198.51.100.1 1 2\r\n"},
      {"v2 version 1", [] { std::string h = V2(1, 0x11, kV4Body); h[12] = 0x11; return h; }()},
      {"v2 unknown command", V2(2, 0x11, kV4Body)},
      {"v2 addresses cut short", V2(1, 0x11, kV4Body.substr(0, 8))},
      {"v2 IPv6 addresses cut short", V2(1, 0x21, kV4Body)},
      {"v2 datagrams", V2(1, 0x12, kV4Body)},
      {"v2 unknown family", V2(1, 0x41, kV4Body)},
      {"v2 longer than accepted", V2(1, 0x11, kV4Body + std::string(kMaxProxyHeader, 'x'))},
  };
  for (const auto& c : cases) {
    ProxyHeader h;
    std::string why;
    EXPECT_EQ(Parse(c.bytes, &h, &why), ProxyParse::Malformed) << c.name;
    EXPECT_FALSE(why.empty()) << c.name;
  }
}

TEST(ProxyHeader, ALongV2HeaderIsRefusedBeforeItArrivesWhole) {
  // The length field alone says it is too long: no need to wait for 64 KiB.
  std::string head = V2(1, 0x11, "").substr(0, 14) + Bytes({0xFF, 0xFF});
  ProxyHeader h;
  std::string why;
  EXPECT_EQ(Parse(head, &h, &why), ProxyParse::Malformed);
}

}  // namespace
}  // namespace velmo::test
