// The PROXY protocol header a load balancer puts before a device's bytes:
// versions 1 and 2, whole, cut short, and malformed, in one table of cases.
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

// A case: the bytes at the start of a connection, the verdict, and for Done
// the client's address ("" when the connection's own address stands) and
// port; for Malformed the reason given for the log.
struct Case {
  const char* name;
  std::string bytes;
  ProxyParse verdict;
  const char* ip;
  std::uint16_t port;
  const char* reason;
};

constexpr ProxyParse kDone = ProxyParse::Done, kMalformed = ProxyParse::Malformed, kNeedMore = ProxyParse::NeedMore;
constexpr const char* kNoHeader = "no PROXY header at the start of the connection";
constexpr const char* kV1Fields = "PROXY v1 line is not TCP4/TCP6 with two addresses and two ports";
constexpr const char* kV1Address = "PROXY v1 address is not one of its family";
constexpr const char* kV1Port = "PROXY v1 port is not a number from 0 to 65535";
constexpr const char* kV2NotTcp = "PROXY v2 header is not for a TCP stream";
constexpr const char* kV2CutShort = "PROXY v2 addresses are cut short";
constexpr const char* kV2TooLong = "PROXY v2 header longer than Velmo accepts";

// The first 16 bytes of a version 2 header whose length field says `bodyBytes`.
std::string V2Head(std::size_t bodyBytes) {
  return V2(1, 0x11, "").substr(0, 14) + Bytes({static_cast<int>(bodyBytes >> 8), static_cast<int>(bodyBytes & 0xFF)});
}

TEST(ProxyHeader, WholeCutShortAndMalformedHeaders) {
  const Case cases[] = {
      // Whole headers, v1 and v2, with and without an address.
      {"v1 TCP4", "PROXY TCP4 192.0.2.7 198.51.100.1 56316 8899\r\n", kDone, "192.0.2.7", 56316, ""},
      {"v1 TCP6", "PROXY TCP6 2001:db8::1 2001:db8::2 4000 8899\r\n", kDone, "2001:db8::1", 4000, ""},
      {"v1 UNKNOWN", "PROXY UNKNOWN\r\n", kDone, "", 0, ""},
      {"v1 UNKNOWN with addresses", "PROXY UNKNOWN ffff:f::1 ffff:f::2 1 2\r\n", kDone, "", 0, ""},
      {"v2 TCP over IPv4", V2(1, 0x11, kV4Body), kDone, "192.0.2.7", 56316, ""},
      {"v2 TCP over IPv6", V2(1, 0x21, kV6Body), kDone, "2001:db8::1", 4000, ""},
      {"v2 with TLVs after the addresses", V2(1, 0x11, kV4Body + Bytes({0x04, 0, 3, 'a', 'b', 'c'})), kDone,
       "192.0.2.7", 56316, ""},
      {"v2 LOCAL (a health check)", V2(0, 0x00, ""), kDone, "", 0, ""},
      {"v2 UNSPEC", V2(1, 0x00, ""), kDone, "", 0, ""},
      // Not a header, or not one Velmo takes.
      {"a device's own frame", "@00027-362023A000000000000000000001", kMalformed, "", 0, kNoHeader},
      {"an HTTP request", "GET / HTTP/1.1\r\n", kMalformed, "", 0, kNoHeader},
      {"lower case", "proxy TCP4 192.0.2.7 198.51.100.1 1 2\r\n", kMalformed, "", 0, kNoHeader},
      {"v1 without end", "PROXY TCP4 " + std::string(120, '1'), kMalformed, "", 0,
       "PROXY v1 line longer than 107 bytes"},
      {"v1 bad address", "PROXY TCP4 192.0.2.300 198.51.100.1 1 2\r\n", kMalformed, "", 0, kV1Address},
      {"v1 v6 address as TCP4", "PROXY TCP4 2001:db8::1 198.51.100.1 1 2\r\n", kMalformed, "", 0, kV1Address},
      {"v1 port too large", "PROXY TCP4 192.0.2.7 198.51.100.1 65536 2\r\n", kMalformed, "", 0, kV1Port},
      {"v1 port not a number", "PROXY TCP4 192.0.2.7 198.51.100.1 -1 2\r\n", kMalformed, "", 0, kV1Port},
      {"v1 a field missing", "PROXY TCP4 192.0.2.7 198.51.100.1 1\r\n", kMalformed, "", 0, kV1Fields},
      {"v1 a field too many", "PROXY TCP4 192.0.2.7 198.51.100.1 1 2 3\r\n", kMalformed, "", 0, kV1Fields},
      {"v1 two spaces", "PROXY TCP4  192.0.2.7 198.51.100.1 1 2\r\n", kMalformed, "", 0, kV1Fields},
      {"v1 another protocol", "PROXY UDP4 192.0.2.7 198.51.100.1 1 2\r\n", kMalformed, "", 0, kV1Fields},
      {"v2 version 1", [] { std::string h = V2(1, 0x11, kV4Body); h[12] = 0x11; return h; }(), kMalformed, "", 0,
       "PROXY v2 header with another version"},
      {"v2 unknown command", V2(2, 0x11, kV4Body), kMalformed, "", 0, "PROXY v2 command is neither LOCAL nor PROXY"},
      {"v2 addresses cut short", V2(1, 0x11, kV4Body.substr(0, 8)), kMalformed, "", 0, kV2CutShort},
      {"v2 IPv6 addresses cut short", V2(1, 0x21, kV4Body), kMalformed, "", 0, kV2CutShort},
      {"v2 datagrams", V2(1, 0x12, kV4Body), kMalformed, "", 0, kV2NotTcp},
      {"v2 unknown family", V2(1, 0x41, kV4Body), kMalformed, "", 0, kV2NotTcp},
      {"v2 longer than accepted", V2(1, 0x11, kV4Body + std::string(kMaxProxyHeader, 'x')), kMalformed, "", 0,
       kV2TooLong},
      // The length field alone says it is too long: no need to wait for 64 KiB.
      {"v2 too long, refused from its first 16 bytes", V2Head(0xFFFF), kMalformed, "", 0, kV2TooLong},
      // A long header Velmo takes is waited for.
      {"v2 of 1 KiB, its first 16 bytes", V2Head(1000), kNeedMore, "", 0, ""},
  };
  const std::string device = "@00027-362023A000000000000000000001";
  for (const auto& c : cases) {
    ProxyHeader h;
    std::string why;
    if (c.verdict != kDone) {
      EXPECT_EQ(Parse(c.bytes, &h, &why), c.verdict) << c.name;
      EXPECT_EQ(why, c.reason) << c.name;
      continue;
    }
    ASSERT_EQ(Parse(c.bytes + device, &h, &why), kDone) << c.name << ": " << why;
    EXPECT_EQ(h.length, c.bytes.size()) << c.name;  // the device's bytes are not part of it
    EXPECT_EQ(h.hasAddress, *c.ip != '\0') << c.name;
    EXPECT_EQ(h.ip, c.ip) << c.name;
    EXPECT_EQ(h.port, c.port) << c.name;
    EXPECT_EQ(h.v6, std::string(c.ip).find(':') != std::string::npos) << c.name;
    // Every shorter start of it is worth waiting for.
    for (std::size_t n = 0; n < c.bytes.size(); ++n) {
      ASSERT_EQ(Parse(c.bytes.substr(0, n), &h, &why), kNeedMore) << c.name << " cut at " << n;
    }
  }
}

}  // namespace
}  // namespace velmo::test
