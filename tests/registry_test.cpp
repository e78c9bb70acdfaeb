// The connection registry's SN index: the oldest holder of an SN is found at
// once, whoever comes, changes or goes; every change a listing can see moves
// the version on, and nothing else does. Real connections of the one-thread
// protocol fixture, registered by their own heartbeats.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/ProtocolFixture.h"
#include "tests/TestSupport.h"

namespace velmo::test {
namespace {

class RegistryTest : public ::testing::Test {
 protected:
  CProtocolFixture::Device Connect() { return fixture_.Connect(); }
  void Heartbeat(const CProtocolFixture::Device& d, const std::string& sn) {
    fixture_.Feed(d, Frame("-36" + sn));
    fixture_.Settle();
    fixture_.Received(d);
  }
  // Which of `devices` (by its place) holds `sn` first; -1 for none.
  int Holder(const std::string& sn, const std::vector<CProtocolFixture::Device*>& devices) {
    auto found = fixture_.Registry().FindBySn(sn);
    for (std::size_t i = 0; i < devices.size(); ++i) {
      if (found && devices[i]->conn == found) return static_cast<int>(i);
    }
    return -1;
  }
  std::vector<std::string> Sns() {
    std::vector<std::string> out;
    fixture_.Registry().VisitSns([&](std::string_view sn) {
      out.emplace_back(sn);
      return true;
    });
    return out;
  }

  CProtocolFixture fixture_;
};

TEST_F(RegistryTest, TheOldestHolderIsFoundWhoeverComesChangesOrGoes) {
  auto a = Connect(), b = Connect(), c = Connect(), d = Connect();
  const std::vector<CProtocolFixture::Device*> all{&a, &b, &c, &d};
  Heartbeat(b, "X");  // b registers before a: a is still the older connection
  Heartbeat(a, "X");
  Heartbeat(c, "Y");
  EXPECT_EQ(Holder("X", all), 0);
  EXPECT_EQ(Holder("Y", all), 2);
  EXPECT_EQ(Holder("", all), -1);
  EXPECT_EQ(Sns(), (std::vector<std::string>{"X", "X", "Y"}));  // in the list's order
  auto counts = fixture_.Registry().CountBoth();
  EXPECT_EQ(counts.clients, 1u);
  EXPECT_EQ(counts.devices, 3u);

  Heartbeat(a, "Z");  // the first holder of X changes its SN: X is b's now
  EXPECT_EQ(Holder("X", all), 1);
  EXPECT_EQ(Holder("Z", all), 0);
  Heartbeat(d, "Y");
  fixture_.Close(c);  // the first holder of Y goes: Y is d's now
  EXPECT_EQ(Holder("Y", all), 3);
  Heartbeat(a, "X");  // back to X: older than b again
  EXPECT_EQ(Holder("X", all), 0);
  EXPECT_EQ(Holder("Z", all), -1);
  fixture_.Close(a);
  fixture_.Close(b);
  EXPECT_EQ(Holder("X", all), -1);
  EXPECT_EQ(Sns(), std::vector<std::string>{"Y"});
  counts = fixture_.Registry().CountBoth();
  EXPECT_EQ(counts.clients, 0u);
  EXPECT_EQ(counts.devices, 1u);
}

TEST_F(RegistryTest, TheVersionMovesOnWithWhatAListingCanSeeOnly) {
  auto a = Connect();
  const std::uint64_t connected = fixture_.Registry().Version();
  Heartbeat(a, "20230101000a00000000000b");
  const std::uint64_t registered = fixture_.Registry().Version();
  EXPECT_GT(registered, connected);
  Heartbeat(a, "20230101000a00000000000b");  // the usual heartbeat changes nothing
  EXPECT_EQ(fixture_.Registry().Version(), registered);
  auto b = Connect();
  EXPECT_GT(fixture_.Registry().Version(), registered);
  const std::uint64_t added = fixture_.Registry().Version();
  fixture_.Close(b);
  EXPECT_GT(fixture_.Registry().Version(), added);
}

}  // namespace
}  // namespace velmo::test
