// The device reach decides exactly once, on the caller's thread, whatever
// comes first and whatever comes in the same turn: driven on one thread by
// the protocol fixture, so every order below is the order of the calls.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/DeviceInfoRecord.h"
#include "tests/ProtocolFixture.h"
#include "tests/TestSupport.h"

namespace velmo::test {
namespace {

const std::string kSn = "20230101000a00000000000b";

// A way to other nodes that keeps each request until the test answers it.
class HeldRemote final : public IRemoteDevices {
 public:
  struct Held {
    std::string sn, text;
    platform::GatePtr home;
    std::function<void(const RemoteCommandResult&)> command;
    std::function<void(const RemoteQueryResult&)> query;
  };
  void SendCommand(const std::string& sn, const std::string& text, bool, std::chrono::milliseconds,
                   platform::GatePtr home, std::function<void(const RemoteCommandResult&)> done) override {
    held.push_back(Held{sn, text, std::move(home), std::move(done), nullptr});
  }
  void SendQuery(const std::string& sn, const std::string& text, bool, std::chrono::milliseconds,
                 platform::GatePtr home, std::function<void(const RemoteQueryResult&)> done) override {
    held.push_back(Held{sn, text, std::move(home), nullptr, std::move(done)});
  }
  // The other node answers the command `i`, through the caller's home, as the forwarder does.
  void AnswerCommand(std::size_t i, RemoteCommandResult result) {
    held.at(i).home->Post([done = held.at(i).command, result] { done(result); });
  }
  std::vector<Held> held;
};

class ReachTest : public ::testing::Test {
 protected:
  explicit ReachTest(ReachTimings timings = ReachTimings{0ms, 0ms, 0ms}) : fixture_(timings) {}

  // A registered device, its clock read.
  CProtocolFixture::Device Register(const std::string& sn = kSn) {
    CProtocolFixture::Device d = fixture_.Connect();
    fixture_.Feed(d, Frame("-36" + sn));
    fixture_.Settle();
    // One frame, the clock (its hour and minute have no leading zero: its
    // length changes with the time of day).
    const std::string clock = fixture_.Received(d);
    EXPECT_TRUE(clock.size() > 6 && clock == Frame(clock.substr(6)) && clock.compare(6, 12, "-37Set time ") == 0)
        << clock;
    return d;
  }
  void Command(const std::string& sn, const std::string& text, CommandSource source = CommandSource::Api) {
    ReachRequest r;
    r.sn = sn;
    r.text = text;
    r.source = source;
    fixture_.Reach().Command(fixture_.Home(), r, [this](CommandOutcome o) { commands_.push_back(o); });
  }
  void Query(const std::string& sn) {
    ReachRequest r;
    r.sn = sn;
    r.text = "query dev_infos";
    fixture_.Reach().Query(fixture_.Home(), r, [this](const QueryOutcome& o) { queries_.push_back(o); });
  }

  CProtocolFixture fixture_;
  std::vector<CommandOutcome> commands_;
  std::vector<QueryOutcome> queries_;
};

TEST_F(ReachTest, TheDeviceTakingTheTextAndTheBoundInOneTurnDecideOnce) {
  auto d = Register();
  Command(kSn, "led on");  // its bound (0 ms) has passed by the next turn of the home
  fixture_.Feed(d, Frame("-36" + kSn));
  fixture_.RunDevices();  // the device took the text: "taken" is on its way to the home
  EXPECT_EQ(fixture_.Received(d), Frame("-37led on\n"));
  EXPECT_TRUE(commands_.empty());  // nothing is decided anywhere but on the home
  fixture_.RunHome();                // both the answer and the bound are ready now
  ASSERT_EQ(commands_.size(), 1u);
  const DeviceTotals t = fixture_.Counters().Read();
  EXPECT_EQ(t.commands[static_cast<int>(CommandResult::Taken)] + t.commands[static_cast<int>(CommandResult::Queued)], 1u);
  fixture_.Settle();
  EXPECT_EQ(commands_.size(), 1u);
}

TEST_F(ReachTest, AQueryAnsweredInTheTurnItsBoundPassesDecidesOnce) {
  auto d = Register();
  Query(kSn);
  fixture_.RunDevices();
  fixture_.Feed(d, Frame("-36" + kSn));
  fixture_.RunDevices();
  EXPECT_EQ(fixture_.Received(d), Frame("-37query dev_infos\n"));
  DeviceInfo info;
  info.version[0] = 9;
  fixture_.Feed(d, Frame("-58" + kSn + EncodeDeviceInfo(info)));
  fixture_.RunDevices();
  fixture_.RunHome();
  ASSERT_EQ(queries_.size(), 1u);
  fixture_.Settle();
  EXPECT_EQ(queries_.size(), 1u);
}

TEST_F(ReachTest, ATextOverItsSourcesLimitIsRefusedAndNothingIsQueued) {
  auto d = Register();
  struct {
    CommandSource source;
    std::size_t length;
    CommandOutcome outcome;
  } cases[] = {
      {CommandSource::Api, kMaxCommandText, CommandOutcome::Queued},
      {CommandSource::Admin, kMaxCommandText + 1, CommandOutcome::Refused},
      {CommandSource::Node, kMaxCommandText + 1, CommandOutcome::Queued},
      {CommandSource::Relay, kMaxRelayText + 1, CommandOutcome::Refused},
  };
  for (const auto& c : cases) {
    commands_.clear();
    Command(kSn, std::string(c.length, 'x'), c.source);
    fixture_.Settle();
    ASSERT_EQ(commands_.size(), 1u);
    EXPECT_EQ(commands_[0], c.outcome) << c.length;
    // Heartbeats take whatever was queued, so each case starts empty.
    fixture_.Feed(d, Frame("-36" + kSn));
    fixture_.Settle();
    std::string sent = fixture_.Received(d);
    EXPECT_EQ(sent.empty() ? 0u : sent.size() - 9 - 1, c.outcome == CommandOutcome::Refused ? 0u : c.length);
  }
  // Only the integrators' commands are counted; a refusal is not.
  EXPECT_EQ(fixture_.Counters().Read().commands[static_cast<int>(CommandResult::Queued)], 1u);
}

class LongReachTest : public ReachTest {
 protected:
  LongReachTest() : ReachTest(ReachTimings{std::chrono::minutes(10), 0ms, 0ms}) {}
};

TEST_F(LongReachTest, ATargetThatGoesAwayWhileAWaitIsOpenDecidesItAtOnce) {
  auto d = Register();
  Command(kSn, "led on");
  Query(kSn);
  fixture_.Settle();
  EXPECT_TRUE(commands_.empty());  // the bounds are ten minutes away
  EXPECT_TRUE(queries_.empty());
  fixture_.Close(d);  // before its next heartbeat
  ASSERT_EQ(commands_, std::vector<CommandOutcome>{CommandOutcome::Queued});
  ASSERT_EQ(queries_.size(), 1u);
  EXPECT_EQ(queries_[0].status, QueryOutcome::Unanswered);
}

TEST_F(LongReachTest, ARelayWhoseRequesterGoesAwayIsDecidedWithNobodyToAnswer) {
  auto target = Register();
  auto requester = fixture_.Connect();
  fixture_.Feed(requester, Frame("-46" + kSn + "led on"));
  fixture_.RunDevices();
  fixture_.Received(requester);  // nothing yet: the relay waits for the target
  auto gone = requester.conn;
  fixture_.Close(requester);
  fixture_.Feed(target, Frame("-36" + kSn));
  fixture_.Settle();
  EXPECT_EQ(fixture_.Received(target), Frame("-37led on\n"));  // the text still reached the device
  EXPECT_EQ(gone->PublicState(), ConnState::Closed);                // and the requester heard nothing
  EXPECT_EQ(fixture_.Counters().Read().relays[static_cast<int>(RelayKind::Command)], 1u);
}

TEST_F(ReachTest, AnotherNodesAnswerAfterTheBoundIsIgnored) {
  auto remote = std::make_shared<HeldRemote>();
  fixture_.Reach().SetRemote(remote);
  Command("20990101000a00000000000b", "led on");  // held by no connection here
  ASSERT_EQ(remote->held.size(), 1u);
  EXPECT_EQ(remote->held[0].text, "led on");
  fixture_.RunHome();  // the bound and the margin (0 ms here) pass first
  ASSERT_EQ(commands_, std::vector<CommandOutcome>{CommandOutcome::Queued});
  remote->AnswerCommand(0, RemoteCommandResult{true, true});
  fixture_.Settle();
  EXPECT_EQ(commands_, std::vector<CommandOutcome>{CommandOutcome::Queued});
  fixture_.Reach().SetRemote(nullptr);
}

TEST_F(LongReachTest, AnotherNodesAnswerWithinTheBoundDecides) {
  auto remote = std::make_shared<HeldRemote>();
  fixture_.Reach().SetRemote(remote);
  Command("20990101000a00000000000b", "led on");
  Command("20990101000a00000000000c", "led on");
  fixture_.Settle();
  EXPECT_TRUE(commands_.empty());
  remote->AnswerCommand(0, RemoteCommandResult{true, true});
  remote->AnswerCommand(1, RemoteCommandResult{false, false});  // no node holds it
  fixture_.Settle();
  EXPECT_EQ(commands_, (std::vector<CommandOutcome>{CommandOutcome::Taken, CommandOutcome::Offline}));
  // Without a way to other nodes, an SN held nowhere here is offline at once.
  fixture_.Reach().SetRemote(nullptr);
  Command("20990101000a00000000000d", "led on");
  fixture_.Settle();
  EXPECT_EQ(commands_.back(), CommandOutcome::Offline);
  EXPECT_EQ(remote->held.size(), 2u);
}

}  // namespace
}  // namespace velmo::test
