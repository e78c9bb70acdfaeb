// The device protocol over real loopback sockets: registration, listing,
// records, heartbeat replies (clock, queued text, LED), idle limits; and the
// reply texts themselves.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sys/stat.h>

#include "protocol/DeviceInfoRecord.h"
#include "protocol/DeviceProtocol.h"
#include "protocol/Heartbeat.h"
#include "socketserver/ClientRegistry.h"
#include "socketserver/SocketServer.h"
#include "tests/ServerFixture.h"

namespace velmo::test {
namespace {

namespace fs = std::filesystem;

const std::string kSn = "20230101000a00000000000b";     // an ordinary device
const std::string kLedSn = "20210807001e00383436470a";  // the LED device
const std::regex kClock(R"(-37Set time \d{4} \d\d \d\d \d{1,2} ?\d{1,2} \d\d 0\d \n)");

TEST(HeartbeatText, ClockCommand) {
  struct {
    platform::LocalTime t;
    const char* text;
  } cases[] = {
      {{2024, 3, 5, 9, 7, 3, 2}, "Set time 2024 03 05 9 7 03 02 \n"},
      {{2024, 12, 31, 23, 59, 58, 2}, "Set time 2024 12 31 23 59 58 02 \n"},
      {{2025, 1, 1, 10, 0, 0, 3}, "Set time 2025 01 01 10 0 00 03 \n"},
      {{2023, 1, 1, 0, 0, 0, 0}, "Set time 2023 01 01 0 0 00 00 \n"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatClockCommand(c.t), c.text);
}

TEST(HeartbeatText, LedCommand) {
  EXPECT_EQ(FormatLedCommand("Sunny 25C"), "led 12t 0 0 0 Sunny 25C \n");
  EXPECT_EQ(FormatLedCommand(std::string("Rain\0hidden", 11)), "led 12t 0 0 0 Rain \n");
  std::string longText(300, 'L');
  EXPECT_EQ(FormatLedCommand(longText), "led 12t 0 0 0 " + std::string(261, 'L') + " \n");
  EXPECT_EQ(FormatLedCommand(longText).size(), 277u);
}

TEST(DeviceInfoRecord, RoundTripAndShortRecords) {
  const DeviceInfo in = SampleDeviceInfo();  // a MAC word wider than a byte too
  std::string record = EncodeDeviceInfo(in);
  ASSERT_EQ(record.size(), 255u);
  DeviceInfo out = DecodeDeviceInfo(reinterpret_cast<const std::uint8_t*>(record.data()), record.size());
  EXPECT_TRUE(std::equal(in.runtime, in.runtime + 6, out.runtime));
  EXPECT_TRUE(std::equal(in.mac, in.mac + 6, out.mac));
  EXPECT_TRUE(std::equal(in.version, in.version + 3, out.version));
  EXPECT_TRUE(std::equal(in.ip, in.ip + 4, out.ip));

  DeviceInfo shortOne = DecodeDeviceInfo(reinterpret_cast<const std::uint8_t*>(record.data()), 100);
  EXPECT_EQ(shortOne.runtime[0], 2024);  // inside the first 100 bytes
  EXPECT_EQ(shortOne.mac[1], 0xAB);
  EXPECT_TRUE(std::equal(in.runtime, in.runtime + 6, shortOne.runtime));
  EXPECT_TRUE(std::equal(in.mac, in.mac + 6, shortOne.mac));
  EXPECT_EQ(shortOne.version[0], 0);     // beyond them: zeros
  EXPECT_EQ(shortOne.ip[0], 0);
}

struct Owner {
  EventRecorder events;
};
void OnDisconnect(void* u, Socket s, int reason) {
  static_cast<Owner*>(u)->events.Add("disconnect " + std::to_string(s) + " " + std::to_string(reason));
}
void OnData(void* u, const char* data, int length) {
  static_cast<Owner*>(u)->events.Add("data " + std::string(data, static_cast<std::size_t>(length)));
}
void OnConnect(void* u, Socket s) { static_cast<Owner*>(u)->events.Add("connect " + std::to_string(s)); }
void OnNotice(void* u, const char* text) { static_cast<Owner*>(u)->events.Add(std::string("notice ") + text); }

class ProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("velmo-protocol-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    ledFile_ = (dir_ / "weather.htm").string();
    ServerTimings t;
    t.idleTick = IdleTick();
    t.postRetry = 5ms;
    ServerConfig config;
    config.owner = &owner_;
    config.timings = t;
    config.onSocketConnect = &OnConnect;
    config.callbacks.onSocketDisconnect = &OnDisconnect;
    config.callbacks.onRecvData = &OnData;
    config.callbacks.onNotice = &OnNotice;
    config.protocol = ProtocolSettings{ledFile_};
    server_ = MakeServer(window_, config);
    port_ = ListeningPort(window_, *server_);
  }
  void TearDown() override {
    window_.Call([&] { server_.reset(); });
    fs::remove_all(dir_);
  }
  // 100 ms: the 5-tick limit after a heartbeat reply (500 ms) outlasts the
  // tests' quiet checks, even on a loaded machine.
  virtual std::chrono::milliseconds IdleTick() const { return 100ms; }

  void Connect(FakeDevice& d) {
    std::size_t before = owner_.events.Count("connect ");
    ASSERT_TRUE(d.Connect(port_));
    ASSERT_TRUE(owner_.events.WaitCount("connect ", before + 1));
  }
  // The newest connection.
  std::shared_ptr<CServerClientSocket> Last() { return server_->Registry().Snapshot().back(); }
  void Register(FakeDevice& d, const std::string& sn) { ASSERT_TRUE(d.Send(Frame("-36" + sn))); }

  LoopThread window_;
  Owner owner_;
  fs::path dir_;
  std::string ledFile_;
  std::unique_ptr<CSocketServer> server_;
  std::uint16_t port_ = 0;
};

TEST_F(ProtocolTest, FirstHeartbeatGetsTheClockThenEveryHundredth) {
  FakeDevice d;
  Connect(d);
  Register(d, kSn);
  std::string first = d.ReadFrame();
  EXPECT_TRUE(std::regex_match(first, kClock)) << first;
  EXPECT_EQ(Last()->GetSn(), kSn);
  EXPECT_EQ(Last()->IdleLimitSeconds(), 5);
  std::string burst;
  for (int i = 0; i < 99; ++i) burst += Frame("-36" + kSn);
  ASSERT_TRUE(d.Send(burst));
  Register(d, kSn);  // the 101st
  std::string next = d.ReadFrame();  // had any of the 99 been answered, its frame would come first
  EXPECT_TRUE(std::regex_match(next, kClock)) << next;
  EXPECT_TRUE(d.Silent());
}

TEST_F(ProtocolTest, QueuedTextGoesOutInsteadOfTheClockAndKeepsTheCount) {
  FakeDevice d;
  Connect(d);
  Last()->RequestRing().PushAll("query dev_infos\n", 16);
  Register(d, kSn);
  EXPECT_EQ(d.ReadFrame(), "-37query dev_infos\n");
  Last()->RequestRing().PushAll("a\n", 2);
  Last()->RequestRing().PushAll("b\n", 2);
  Register(d, kSn);
  EXPECT_EQ(d.ReadFrame(), "-37a\nb\n");
  Register(d, kSn);  // nothing queued: the first empty heartbeat gets the clock
  EXPECT_TRUE(std::regex_match(d.ReadFrame(), kClock));
}

TEST_F(ProtocolTest, ListingHasTheDevicesWhoseSnBeginsWith20) {
  FakeDevice a, b, c, asker;
  for (auto* d : {&a, &b, &c, &asker}) Connect(*d);
  asker.Send(Frame("-88"));
  EXPECT_EQ(asker.ReadFrame(), "-89");  // nobody registered yet
  Register(a, kSn);
  Register(b, "ABC");
  Register(c, "2021080700");
  for (auto* d : {&a, &b, &c}) d->ReadFrame();  // each gets its clock reply
  asker.Send(Frame("-88anything"));
  std::string expected = "-89+" + kSn + "+2021080700" + std::string(14, '\0');
  EXPECT_EQ(asker.ReadFrame(), expected);
  Register(asker, kSn);
  asker.ReadFrame();
  asker.Send(Frame("-88"));
  EXPECT_EQ(asker.ReadFrame(), expected + "+" + kSn);  // the asker lists itself too
}

TEST_F(ProtocolTest, ListingStopsAt3999Devices) {
  // Registered connections without sockets: enough for the listing.
  std::vector<std::shared_ptr<CServerClientSocket>> fakes;
  auto env = std::make_shared<CConnectionEnv>(window_.Loop(), 0, nullptr, server_->Registry(), server_->Counters(),
                                              server_->Events());
  auto settings = std::make_shared<ConnectionSettings>();
  for (int i = 0; i < 4005; ++i) {
    auto c = std::make_shared<CServerClientSocket>(env, settings, server_->Worker(0));
    char sn[32];
    std::snprintf(sn, sizeof sn, "20%022d", i);
    c->SetSn(sn, 24);
    server_->Registry().Append(c);
    fakes.push_back(c);
  }
  FakeDevice asker;
  Connect(asker);
  asker.Send(Frame("-88"));
  std::string listing = asker.ReadFrame();
  for (auto& c : fakes) server_->Registry().RemoveByPointer(c.get());
  ASSERT_EQ(listing.size(), 3u + 25u * 3999u);
  EXPECT_EQ(listing.substr(listing.size() - 25), "+20" + std::string(18, '0') + "3998");
}

TEST_F(ProtocolTest, DeviceRecordsLandInTheReplyRing) {
  FakeDevice d;
  Connect(d);
  d.Send(Frame("-58" + std::string(24, 'S')));  // 27 bytes: no record
  d.Send(Frame("-58" + std::string(24, 'S') + "RECORD"));
  ASSERT_TRUE(WaitUntil([&] { return !Last()->ReplyRing().IsEmpty(); }));
  auto bytes = Last()->ReplyRing().PopAll();
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "RECORD");
  EXPECT_TRUE(d.Silent());  // records get no answer
}

TEST_F(ProtocolTest, DataFramesGoToTheDataCallbackAndAnEmptySnStaysAClient) {
  FakeDevice d;
  Connect(d);
  d.Send(Frame("123hello"));
  ASSERT_TRUE(owner_.events.WaitCount("data ", 1));
  EXPECT_EQ(owner_.events.Lines().back(), "data 123hello");
  Register(d, "");
  EXPECT_TRUE(std::regex_match(d.ReadFrame(), kClock));
  EXPECT_EQ(window_.Call([&] { return server_->CountNoSn(); }), 1);
}

TEST_F(ProtocolTest, LongSnIsCutTo259Bytes) {
  FakeDevice d;
  Connect(d);
  Register(d, std::string(500, '7'));
  d.ReadFrame();
  EXPECT_EQ(Last()->GetSn(), std::string(259, '7'));
}

TEST_F(ProtocolTest, SilenceAfterTheFirstReplyIsCutShort) {
  FakeDevice d;
  Connect(d);
  Register(d, kSn);
  ASSERT_FALSE(d.ReadFrame().empty());
  EXPECT_EQ(Last()->IdleLimitSeconds(), 5);
  EXPECT_TRUE(owner_.events.WaitCount("disconnect ", 1));
  EXPECT_EQ(LastCloseReason(owner_.events), 0);
}

class FastIdleProtocolTest : public ProtocolTest {
 protected:
  std::chrono::milliseconds IdleTick() const override { return 10ms; }
};

TEST_F(FastIdleProtocolTest, NegativeCodesResetTheIdleCountDataFramesDoNot) {
  FakeDevice keeps, data;
  Connect(keeps);
  Connect(data);
  for (int i = 0; i < 15; ++i) {  // 150 ticks
    keeps.Send(Frame("-05"));
    data.Send(Frame("005"));
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_TRUE(owner_.events.WaitCount("disconnect ", 1));
  EXPECT_TRUE(data.WaitClosed());
  EXPECT_FALSE(keeps.WaitClosed(10ms));
  EXPECT_EQ(owner_.events.Count("disconnect "), 1u);
}

TEST_F(ProtocolTest, LedDeviceGetsTheLedTextAndQueuedTextEvenWithoutItsFile) {
  FakeDevice d;
  Connect(d);
  Register(d, kLedSn);  // no LED file yet: no reply
  EXPECT_TRUE(d.Silent());
  Last()->RequestRing().PushAll("led on\n", 7);
  Register(d, kLedSn);  // queued text still goes out
  EXPECT_EQ(d.ReadFrame(), "-37led on\n");
  std::ofstream(ledFile_) << "Rain";
  Register(d, kLedSn);
  EXPECT_EQ(d.ReadFrame(), "-37led 12t 0 0 0 Rain \n");
  Register(d, kLedSn);  // the count moved on: the next LED text comes on the 101st
  EXPECT_TRUE(d.Silent());

  // A burst of heartbeats shares the LED file's reads, and still counts each
  // one: 300 more (counts 2 to 301) bring the texts of counts 100, 200, 300.
  std::string burst;
  for (int i = 0; i < 300; ++i) burst += Frame("-36" + kLedSn);
  ASSERT_TRUE(d.Send(burst));
  int texts = 0;
  for (std::string frame; !(frame = d.ReadFrame(500ms)).empty();) {
    EXPECT_EQ(frame, "-37led 12t 0 0 0 Rain \n");
    ++texts;
  }
  EXPECT_EQ(texts, 3);
}

TEST_F(ProtocolTest, LedFileThatIsNoRegularFileGivesNoReplyAndOneLogLineAMinute) {
  struct {
    const char* name;
    std::function<void(const std::string&)> make;
    std::string why;
  } cases[] = {
      {"directory", [](const std::string& p) { fs::create_directories(p); }, "it is a directory, not a regular file"},
      // Opening a FIFO to read would wait for a writer for ever.
      {"FIFO", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }, "it is not a regular file"},
  };
  for (const auto& c : cases) {
    // A factory of its own, so the once-a-minute line is due again.
    window_.Call([&] { server_->SetProtocolFactory(MakeProtocolFactory(ProtocolSettings{ledFile_})); });
    fs::remove_all(ledFile_);
    c.make(ledFile_);
    FakeDevice d;
    Connect(d);
    Register(d, kLedSn);
    Register(d, kLedSn);
    EXPECT_TRUE(d.Silent(300ms)) << c.name;
    const std::string line = "notice LED file " + ledFile_ + " refused: " + c.why;
    EXPECT_TRUE(owner_.events.WaitCount(line, 1)) << c.name;
    EXPECT_EQ(owner_.events.Count(line), 1u) << c.name;  // not one per heartbeat
    FakeDevice other;  // the file threads are free: everything else goes on
    Connect(other);
    Register(other, kSn);
    EXPECT_TRUE(std::regex_match(other.ReadFrame(), kClock)) << c.name;
  }
}

}  // namespace
}  // namespace velmo::test
