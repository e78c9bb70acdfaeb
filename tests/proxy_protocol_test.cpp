// The device port behind a load balancer (--proxy-protocol): the header names
// the device's own address, which the log line, the list and the events show;
// a connection without a valid header in time is closed with a log line.
#include "tests/AdminFixture.h"

namespace velmo::test {
namespace {

std::string V2Header(std::uint8_t command, const std::string& addresses) {
  std::string h("\r\n\r\n\0\r\nQUIT\n", 12);
  h += static_cast<char>(0x20 | command);
  h += static_cast<char>(addresses.empty() ? 0x00 : 0x11);
  h += static_cast<char>(0);
  h += static_cast<char>(addresses.size());
  return h + addresses;
}

class ProxyTest : public AdminTest {
 protected:
  void SetUp() override {
    Init("", [](AppOptions& o) {
      o.proxyProtocol = true;
      o.proxyHeaderWait = std::chrono::milliseconds(300);
    });
  }

  // The peer of each OnAccept line so far ("ip:port"), in order.
  std::vector<std::string> AcceptedPeers() {
    std::vector<std::string> peers;
    for (const auto& l : lines_.Lines()) {
      if (l.rfind("OnAccept-", 0) == 0) peers.push_back(l.substr(l.find(' ') + 1));
    }
    return peers;
  }
};

TEST_F(ProxyTest, TheHeaderNamesTheDevice) {
  FakeDevice v1, v2;
  ASSERT_TRUE(v1.Connect(devices_));
  ASSERT_TRUE(v1.Send("PROXY TCP4 203.0.113.9 10.0.0.1 40001 8899\r\n" + Frame("-36PX-1")));
  ASSERT_FALSE(v1.ReadFrame().empty());  // registered: its clock
  // Version 2, in two pieces, the device's first frame right behind it.
  const std::string v2bytes =
      V2Header(1, std::string("\xC6\x33\x64\x07\x0A\x00\x00\x01\x9C\x3F\x22\xC3", 12)) + Frame("-36PX-2");
  ASSERT_TRUE(v2.Connect(devices_));
  ASSERT_TRUE(v2.Send(v2bytes.substr(0, 9)));
  ASSERT_TRUE(v2.Silent(50ms));
  ASSERT_TRUE(v2.Send(v2bytes.substr(9)));
  ASSERT_FALSE(v2.ReadFrame().empty());

  ASSERT_TRUE(lines_.WaitCount("OnAccept-", 2));
  EXPECT_EQ(AcceptedPeers(), (std::vector<std::string>{"203.0.113.9:40001", "198.51.100.7:39999"}));
  json one = Get("/v1/devices/PX-1").Json();
  EXPECT_EQ(one["ip"], "203.0.113.9");
  EXPECT_EQ(one["port"], 40001);
  EXPECT_EQ(Get("/v1/devices/PX-2").Json()["ip"], "198.51.100.7");
}

TEST_F(ProxyTest, AnIpv6DeviceIsShownWithItsOwnAddress) {
  FakeDevice v1, v2;
  ASSERT_TRUE(v1.Connect(devices_));
  ASSERT_TRUE(v1.Send("PROXY TCP6 2001:db8::7 2001:db8::1 40002 8899\r\n" + Frame("-36PX-6A")));
  ASSERT_FALSE(v1.ReadFrame().empty());
  // Version 2, AF_INET6 over TCP: 16 + 16 address bytes, then the two ports.
  std::string addresses("\x20\x01\x0d\xb8\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x09", 16);
  addresses += std::string(15, '\0') + "\x01" + std::string("\x9C\x43\x22\xC3", 4);
  std::string v2bytes = V2Header(1, addresses) + Frame("-36PX-6B");
  v2bytes[13] = 0x21;  // AF_INET6, STREAM
  ASSERT_TRUE(v2.Connect(devices_));
  ASSERT_TRUE(v2.Send(v2bytes));
  ASSERT_FALSE(v2.ReadFrame().empty());
  ASSERT_TRUE(lines_.WaitCount("OnAccept-", 2));
  EXPECT_EQ(AcceptedPeers(), (std::vector<std::string>{"[2001:db8::7]:40002", "[2001:db8::9]:40003"}));
  json a = Get("/v1/devices/PX-6A").Json();
  EXPECT_EQ(a["ip"], "2001:db8::7");
  EXPECT_EQ(a["port"], 40002);
  EXPECT_EQ(Get("/v1/devices/PX-6B").Json()["ip"], "2001:db8::9");
}

TEST_F(ProxyTest, AHealthCheckKeepsTheBalancersAddress) {
  FakeDevice check;
  ASSERT_TRUE(check.Connect(devices_));
  ASSERT_TRUE(check.Send(V2Header(0, "") + Frame("-36PX-L")));
  ASSERT_FALSE(check.ReadFrame().empty());
  EXPECT_EQ(Get("/v1/devices/PX-L").Json()["ip"], "127.0.0.1");
}

TEST_F(ProxyTest, NoValidHeaderInTimeClosesTheConnectionWithALogLine) {
  FakeDevice direct, silent;
  ASSERT_TRUE(direct.Connect(devices_));
  ASSERT_TRUE(direct.Send(Frame("-36PX-D")));  // a device that bypassed the balancer
  EXPECT_TRUE(direct.WaitClosed());
  ASSERT_TRUE(silent.Connect(devices_));
  EXPECT_TRUE(silent.WaitClosed());  // after the header wait
  ASSERT_TRUE(lines_.WaitCount("closed the connection from 127.0.0.1:", 2));
  EXPECT_EQ(lines_.Count("closed the connection from 127.0.0.1:" + std::to_string(direct.LocalPort()) +
                         ": no PROXY header at the start of the connection"), 1u);
  EXPECT_EQ(lines_.Count("closed the connection from 127.0.0.1:" + std::to_string(silent.LocalPort()) +
                         ": no PROXY header in time"), 1u);
  EXPECT_EQ(lines_.Count("OnAccept-"), 0u);  // neither ever became a connection
  EXPECT_EQ(Get("/v1/devices/PX-D").status, 404u);
}

}  // namespace
}  // namespace velmo::test
