// Relays on the device port over real sockets: the bare HTTP "POST" request,
// -46 commands and -56 queries.
#include <gtest/gtest.h>

#include <future>
#include <map>

#include "protocol/DeviceInfoRecord.h"
#include "protocol/DeviceProtocol.h"
#include "socketserver/ClientRegistry.h"
#include "socketserver/SocketServer.h"
#include "tests/ServerFixture.h"

namespace velmo::test {
namespace {

const std::string kSn = "20230101000a00000000000b";

std::string Response(const char* digit) {
  return std::string(
             "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n"
             "Content-Type: application/json; charset=utf-8\r\nExpires: -1\r\nServer: Microsoft-IIS/10.0\r\n"
             "X-AspNet-Version: 4.0.30319\r\nX-Powered-By: ASP.NET\r\nDate: Thu, 07 Jul 2022 12:41:35 GMT\r\n"
             "Content-Length: 28\r\n\r\n{\"device_online_status\":\"") +
         digit + "\"}\r\n";
}

std::string PostRequest(const std::string& sn, const std::string& body) {
  return "POST /SN?" + sn + " HTTP/1.1\r\nHost: velmo\r\nContent-Type: text/plain\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

struct Owner {
  EventRecorder data;
};
void OnData(void* u, const char* d, int n) {
  static_cast<Owner*>(u)->data.Add(std::string(d, static_cast<std::size_t>(n)));
}

class RelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A registered device may stay silent 5 ticks (500 ms): longer than a wait.
    ServerTimings t;
    t.idleTick = 100ms;
    t.deviceWait = DeviceWait();
    ServerConfig config;
    config.owner = &owner_;
    config.timings = t;
    config.callbacks.onRecvData = &OnData;
    server_ = MakeServer(window_, config);
    port_ = ListeningPort(window_, *server_);
  }
  void TearDown() override { window_.Call([&] { server_.reset(); }); }
  virtual std::chrono::milliseconds DeviceWait() const { return 300ms; }

  void Register(FakeDevice& d, const std::string& sn = kSn) {
    ASSERT_TRUE(d.Connect(port_));
    ASSERT_TRUE(d.Send(Frame("-36" + sn)));
    ASSERT_FALSE(d.ReadFrame().empty());  // its clock
  }
  // Runs `fn` on its own thread.
  template <class Fn>
  auto Async(Fn fn) {
    return std::async(std::launch::async, fn);
  }

  LoopThread window_;
  Owner owner_;
  std::unique_ptr<CSocketServer> server_;
  std::uint16_t port_ = 0;
};

TEST_F(RelayTest, HttpRequestReachesTheDeviceAndGetsTheFixedResponse) {
  FakeDevice device, requester;
  Register(device);
  ASSERT_TRUE(requester.Connect(port_));
  const std::string request = PostRequest(kSn, "led on");
  requester.Send(request);
  ASSERT_TRUE(WaitQueued(server_->Registry(), kSn));
  device.Send(Frame("-36" + kSn));
  EXPECT_EQ(device.ReadFrame(), "-37led on\n");
  EXPECT_EQ(requester.Receive(Response("1").size()), Response("1"));

  // The request was consumed: what follows on the connection is handled afresh.
  requester.Send(Frame("-88"));
  EXPECT_EQ(requester.ReadFrame(), "-89+" + kSn);
  EXPECT_TRUE(device.Silent());  // relayed once, not again with the later bytes

  std::string record = "SN?" + kSn + "led on";
  std::vector<std::string> trace{record, "len1:33 len2:33", record, Response("1")};
  auto data = owner_.data.Lines();
  ASSERT_GE(data.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(data.begin(), data.begin() + 4), trace);
}

TEST_F(RelayTest, HttpRequestOutcomes) {
  FakeDevice silent;
  Register(silent);
  struct {
    const char* name;
    std::string request;
    std::string answer;
  } cases[] = {
      {"no such SN: at once", PostRequest("20990101000a00000000000b", "x"), Response("0")},
      {"silent device: after the wait", PostRequest(kSn, "x"), Response("1")},
      {"body over 772 bytes", PostRequest(kSn, std::string(800, 'b')),
       "HTTP/1.1 413 Payload Too Large\r\nContent-Length: 0\r\n\r\n"},
  };
  for (const auto& c : cases) {
    FakeDevice requester;
    ASSERT_TRUE(requester.Connect(port_));
    requester.Send(c.request);
    EXPECT_EQ(requester.Receive(c.answer.size(), 3000ms), c.answer) << c.name;
  }
  silent.Send(Frame("-36" + kSn));
  EXPECT_EQ(silent.ReadFrame(), "-37x\n");  // the text not taken in time stayed queued

  FakeDevice other;
  ASSERT_TRUE(other.Connect(port_));
  other.Send("POST /other HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(other.ReadFrame(), "-470000000002");  // not "SN?": a frame, not an HTTP response
}

TEST_F(RelayTest, SplitRequestIsRelayedOnceAndChineseArrivesInGbk) {
  FakeDevice device, requester;
  Register(device);
  ASSERT_TRUE(requester.Connect(port_));
  std::string request = PostRequest(kSn, "\xE4\xB8\xAD\xE6\x96\x87 on");
  requester.Send(request.substr(0, 20));
  std::this_thread::sleep_for(30ms);
  requester.Send(request.substr(20, request.size() - 24));
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(QueuedBytes(server_->Registry(), kSn), 0u);  // the body is not complete yet
  requester.Send(request.substr(request.size() - 4));
  ASSERT_TRUE(WaitQueued(server_->Registry(), kSn));
  device.Send(Frame("-36" + kSn));
  EXPECT_EQ(device.ReadFrame(), "-37\xD6\xD0\xCE\xC4 on\n");
  EXPECT_EQ(requester.Receive(Response("1").size()), Response("1"));
  device.Send(Frame("-36" + kSn));
  EXPECT_TRUE(device.Silent());
}

TEST_F(RelayTest, CommandFrames) {
  FakeDevice device, requester;
  Register(device);
  ASSERT_TRUE(requester.Connect(port_));

  requester.Send(Frame("-46" + kSn + "led \xE4\xB8\xAD"));
  ASSERT_TRUE(WaitQueued(server_->Registry(), kSn));
  device.Send(Frame("-36" + kSn));
  EXPECT_EQ(device.ReadFrame(), "-37led \xD6\xD0\n");
  EXPECT_EQ(requester.ReadFrame(), "-470000000000");

  requester.Send(Frame("-46" + kSn + "later"));
  EXPECT_EQ(requester.ReadFrame(3000ms), "-470000000001");
  device.Send(Frame("-36" + kSn));
  EXPECT_EQ(device.ReadFrame(), "-37later\n");

  requester.Send(Frame("-46" + std::string("20990101000a00000000000b") + "x"));
  EXPECT_EQ(requester.ReadFrame(), "-470000000002");

  requester.Send(Frame("-46" + kSn + std::string(5000, 'L')));
  EXPECT_EQ(requester.ReadFrame(), "-470000000001");
  EXPECT_TRUE(owner_.data.WaitCount("relay refused: the text is longer than 4095 bytes", 1));
  EXPECT_EQ(QueuedBytes(server_->Registry(), kSn), 0u);
}

TEST_F(RelayTest, QueryFrames) {
  FakeDevice device, requester;
  Register(device);
  ASSERT_TRUE(requester.Connect(port_));

  requester.Send(Frame("-56" + kSn + "query dev_infos"));
  ASSERT_TRUE(WaitQueued(server_->Registry(), kSn));
  device.Send(Frame("-36" + kSn));
  EXPECT_EQ(device.ReadFrame(), "-37query dev_infos");  // unconverted, no line feed
  device.Send(Frame("-58" + kSn + EncodeDeviceInfo(SampleDeviceInfo())));
  EXPECT_EQ(requester.ReadFrame(),
            "-570000000000{ \"version\": 01.02.03 , \"ip\" : \"192.168.1.20\", \"mac\" : \"12:AB:0C:00:FF:1FF\","
            "\"runtime\" : \"2024-01-02 03:04:05\"}");

  // Taken but never answered: after both waits.
  requester.Send(Frame("-56" + kSn + "q"));
  ASSERT_TRUE(WaitQueued(server_->Registry(), kSn));
  device.Send(Frame("-36" + kSn));
  EXPECT_EQ(device.ReadFrame(), "-37q");
  EXPECT_EQ(requester.ReadFrame(3000ms), "-570000000001");

  requester.Send(Frame("-56" + std::string("20990101000a00000000000b") + "q"));
  EXPECT_EQ(requester.ReadFrame(), "-570000000002");
}

TEST_F(RelayTest, QueriesOfDifferentTextsRunSideBySideAndRecordsAnswerThemInOrder) {
  FakeDevice device, a, b, c;
  Register(device);
  for (auto* r : {&a, &b, &c}) ASSERT_TRUE(r->Connect(port_));
  a.Send(Frame("-56" + kSn + "qa"));
  b.Send(Frame("-56" + kSn + "qb"));
  c.Send(Frame("-56" + kSn + "qc"));
  // None waits for another's turn: all three texts are queued at once and go
  // out with the device's next heartbeat.
  ASSERT_TRUE(WaitUntil([&] { return QueuedBytes(server_->Registry(), kSn) == 6; }));
  device.Send(Frame("-36" + kSn));
  std::string texts = device.ReadFrame();
  ASSERT_EQ(texts.size(), 9u);
  // The device answers each text with its own record, in the order it took them.
  std::map<char, FakeDevice*> asker{{'a', &a}, {'b', &b}, {'c', &c}};
  for (std::size_t i = 3; i < texts.size(); i += 2) {
    DeviceInfo info = SampleDeviceInfo();
    info.version[2] = static_cast<std::uint16_t>(texts[i + 1]);  // tells the answers apart
    device.Send(Frame("-58" + kSn + EncodeDeviceInfo(info)));
  }
  for (auto& [letter, requester] : asker) {
    char version[16];
    std::snprintf(version, sizeof version, "01.02.%02d", static_cast<int>(letter));
    std::string answer = requester->ReadFrame();
    EXPECT_EQ(answer.substr(0, 13), "-570000000000") << letter;
    EXPECT_NE(answer.find(std::string("\"version\": ") + version), std::string::npos) << letter << ": " << answer;
  }
}

TEST_F(RelayTest, TheFirstConnectionWithTheSnIsTheTarget) {
  FakeDevice older, newer, requester;
  Register(older);
  Register(newer);
  ASSERT_TRUE(requester.Connect(port_));
  requester.Send(Frame("-46" + kSn + "who"));
  ASSERT_TRUE(WaitQueued(server_->Registry(), kSn));
  newer.Send(Frame("-36" + kSn));
  EXPECT_TRUE(newer.Silent());  // nothing for the newer one (its count is past its clock)
  older.Send(Frame("-36" + kSn));
  EXPECT_EQ(older.ReadFrame(), "-37who\n");
  EXPECT_EQ(requester.ReadFrame(), "-470000000000");
}

class LongWaitRelayTest : public RelayTest {
 protected:
  std::chrono::milliseconds DeviceWait() const override { return 1200ms; }
};

TEST_F(LongWaitRelayTest, ARegisteredRequesterIsNotDroppedWhileItsRelayWaits) {
  FakeDevice target, requester;
  Register(target);
  Register(requester, "20230101000a00000000000c");  // idle limit now 5 ticks (500 ms)
  requester.Send(Frame("-56" + kSn + "q"));
  // The target takes the query but never answers: the requester waits 1.2 s
  // for the record, far past its own idle limit.
  std::atomic<bool> done{false};
  auto heartbeats = Async([&] {
    while (!done) {
      target.Send(Frame("-36" + kSn));
      std::this_thread::sleep_for(100ms);
    }
  });
  EXPECT_EQ(requester.ReadFrame(5000ms), "-570000000001");
  done = true;
  heartbeats.get();
  requester.Send(Frame("-36" + std::string("20230101000a00000000000c")));
  EXPECT_FALSE(requester.WaitClosed(100ms));
}

}  // namespace
}  // namespace velmo::test
