// The HTTP API over real sockets: dispatcher rules, byte-exact replies,
// limits and time-outs, the two routes against fake devices, concurrency.
#include <gtest/gtest.h>

#include <future>
#include <map>
#include <sys/socket.h>
#include <thread>

#include "httpserver/ApiRoutes.h"
#include "httpserver/HttpServer.h"
#include "protocol/DeviceInfoRecord.h"
#include "protocol/DeviceProtocol.h"
#include "socketserver/ClientRegistry.h"
#include "socketserver/DeviceReach.h"
#include "socketserver/SocketServer.h"
#include "tests/ServerFixture.h"

namespace velmo::test {
namespace {

const std::string kSn = "20230101000a00000000000b";
const std::string kTail = "\r\n0\r\n\r\n";

// The whole reply for `text`, written out independently of the server's code.
std::string Chunked(const std::string& text) {
  char size[16];
  std::snprintf(size, sizeof size, "%zX", text.size());
  return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(size) + "\r\n" + text + kTail;
}

bool Echo(void*, std::string, std::string body, std::string sn, HttpConnection* conn, ReplySender reply) {
  reply(conn, "[" + sn + "]" + body);
  return true;
}
bool Other(void*, std::string, std::string, std::string, HttpConnection* conn, ReplySender reply) {
  reply(conn, "second handler");
  return true;
}

std::string Post(const std::string& target, const std::string& body, const std::string& headers = "SN: 1\r\n") {
  return "POST " + target + " HTTP/1.1\r\n" + headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body;
}

class HttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    api_.appendLog = [this](std::string_view line) { log_.Add(std::string(line)); };
    StartHttp();
  }
  void TearDown() override {
    http_.reset();
    reach_.reset();
    if (devices_) window_.Call([&] { devices_.reset(); });
  }
  // (Re)starts the API on a new port, reaching the devices through `reach_`.
  void StartHttp() {
    http_.reset();
    api_.reach = reach_.get();
    http_ = std::make_unique<HttpServer>(&api_);
    http_->SetPort("0");
    http_->SetDiagnostics(nullptr);
    HttpLimits limits;
    limits.maxBodyBytes = 4096;
    limits.requestTimeout = 300ms;
    http_->SetLimits(limits);
    http_->AddRoute("/echo", &Echo);
    http_->AddRoute("/echo", &Other);  // the first registration stays
    http_->AddRoute("/api/cmd", &OnApiCmd);
    http_->AddRoute("/api/status", &OnApiStatus);
    ASSERT_TRUE(http_->Start());
    ASSERT_TRUE(WaitUntil([&] { return http_->BoundPort() != 0; }));
  }

  // Sends `request` on a new connection and returns the reply bytes.
  std::string Exchange(const std::string& request) {
    FakeDevice client(http_->BoundPort());
    client.Send(request);
    return client.ReceiveUntil(kTail);
  }
  std::string Text(const std::string& request) {
    std::string reply = Exchange(request);
    auto start = reply.find("\r\n\r\n");
    if (start == std::string::npos) return "<no reply>";
    auto sizeEnd = reply.find("\r\n", start + 4);
    return reply.substr(sizeEnd + 2, reply.size() - sizeEnd - 2 - kTail.size());
  }

  // A device server with the real protocol, for the route tests; the API
  // then reaches its devices and waits `apiWait` per stage for them.
  std::uint16_t StartDevices(const ServerTimings& timings = ServerTimings{}, std::uint32_t sendTimeoutMs = 15000,
                             std::chrono::milliseconds apiWait = 400ms) {
    ServerConfig config;
    config.owner = &deviceEvents_;
    config.timings = timings;
    config.sendTimeoutMs = sendTimeoutMs;
    config.callbacks.onSocketDisconnect = [](void* u, Socket s, int reason) {
      static_cast<EventRecorder*>(u)->Add("disconnect " + std::to_string(s) + " " + std::to_string(reason));
    };
    devices_ = MakeServer(window_, config);
    reach_ = std::make_unique<CDeviceReach>(devices_->Registry(), devices_->Counters(), apiWait);
    StartHttp();
    return ListeningPort(window_, *devices_);
  }
  // The device server's connection registered as `sn`.
  std::shared_ptr<CServerClientSocket> Device(const std::string& sn) { return devices_->Registry().FindBySn(sn); }
  // Connects and registers a device; swallows its clock reply.
  void Register(FakeDevice& d, std::uint16_t port, const std::string& sn = kSn) {
    ASSERT_TRUE(d.Connect(port));
    ASSERT_TRUE(d.Send(Frame("-36" + sn)));
    ASSERT_FALSE(d.ReadFrame().empty());
  }
  // Starts `request` on its own thread; the future gives the reply text.
  std::future<std::string> Async(const std::string& request) {
    return std::async(std::launch::async, [this, request] { return Text(request); });
  }

  ApiContext api_;
  EventRecorder log_;
  LoopThread window_;
  EventRecorder deviceEvents_;
  std::unique_ptr<CSocketServer> devices_;
  std::unique_ptr<CDeviceReach> reach_;
  std::unique_ptr<HttpServer> http_;
};

TEST_F(HttpTest, WholeRepliesByteForByte) {
  EXPECT_EQ(Exchange("GET /api/hello HTTP/1.1\r\nSN: 1\r\n\r\n"),
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n11\r\nwelcome to tarnel\r\n0\r\n\r\n");
  EXPECT_EQ(Exchange("GET /api/hello HTTP/1.1\r\n\r\n"),
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nno sn\r\n0\r\n\r\n");
  // 29 bytes: the chunk size is upper-case hexadecimal.
  EXPECT_EQ(Exchange(Post("/echo", std::string(26, 'x'))), Chunked("[1]" + std::string(26, 'x')));
  EXPECT_NE(Exchange(Post("/echo", std::string(26, 'x'))).find("\r\n1D\r\n"), std::string::npos);
}

TEST_F(HttpTest, SnHeaderRules) {
  std::string other;
  for (int i = 0; i < 38; ++i) other += "X-" + std::to_string(i) + ": v\r\n";
  struct {
    const char* name;
    std::string headers;
    std::string text;
  } cases[] = {
      {"missing", "", "no sn"},
      {"lower case", "sn: 1\r\n", "no sn"},
      {"mixed case", "Sn: 1\r\n", "no sn"},
      {"longer name", "SN2: 1\r\n", "no sn"},
      {"empty value", "SN: \r\n", "no sn"},
      {"two SN headers: the first", "SN: a\r\nSN: b\r\n", "[a]"},
      {"SN as the 39th header", other + "SN: x\r\n", "[x]"},
      {"SN after 39 other headers", other + "X-38: v\r\nSN: x\r\n", "no sn"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Text("GET /echo HTTP/1.1\r\n" + c.headers + "\r\n"), c.text) << c.name;
  }
}

TEST_F(HttpTest, PathRules) {
  struct {
    std::string target;
    std::string text;
  } cases[] = {
      {"/echo?x=1", "[1]"},         {"/ECHO", "no this api"},        {"/echo/", "no this api"},
      {"/api/hello?x", "welcome to tarnel"}, {"/api/%63md", "no this api"}, {"/api//cmd", "no this api"},
      {"/api/hello/", "no this api"},
  };
  for (const auto& c : cases) EXPECT_EQ(Text("GET " + c.target + " HTTP/1.1\r\nSN: 1\r\n\r\n"), c.text) << c.target;
  for (const char* method : {"PUT", "DELETE", "OPTIONS", "POST"}) {
    EXPECT_EQ(Text(std::string(method) + " /api/hello HTTP/1.1\r\nSN: 1\r\nContent-Length: 0\r\n\r\n"),
              "welcome to tarnel")
        << method;
  }
}

TEST_F(HttpTest, BodiesAreConvertedToGbk) {
  struct {
    const char* name;
    std::string body;
    std::string text;
  } cases[] = {
      {"chinese", "led \xE4\xB8\xAD", "[1]led \xD6\xD0"},
      {"two-byte character: unconverted", "caf\xC3\xA9 \xE4\xB8\xAD", "[1]caf\xC3\xA9 \xE4\xB8\xAD"},
      {"emoji: empty", "ok \xE4\xB8\xAD \xF0\x9F\x98\x80", "[1]"},
      {"zero byte ends it", std::string("ab\0cd", 5), "[1]ab"},
      {"259 bytes fit", std::string(259, 'b'), "[1]" + std::string(259, 'b')},
      {"260 bytes do not", std::string(260, 'b'), "body too long"},
      {"over the body limit", std::string(5000, 'b'), "body too long"},
  };
  for (const auto& c : cases) EXPECT_EQ(Text(Post("/echo", c.body)), c.text) << c.name;
  EXPECT_EQ(Text("POST /echo HTTP/1.1\r\nSN: 1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n"),
            "[1]abcde");
}

TEST_F(HttpTest, KeepAliveServesSeveralRequestsOnOneConnection) {
  FakeDevice client(http_->BoundPort());
  for (int i = 0; i < 3; ++i) {
    client.Send("GET /api/hello HTTP/1.1\r\nSN: 1\r\n\r\n");
    EXPECT_EQ(client.ReceiveUntil(kTail), Chunked("welcome to tarnel"));
  }
  client.Send("GET /api/hello HTTP/1.1\r\nSN: 1\r\n\r\nGET /echo HTTP/1.1\r\nSN: 2\r\n\r\n");  // pipelined
  EXPECT_EQ(client.ReceiveUntil(kTail), Chunked("welcome to tarnel"));
  EXPECT_EQ(client.ReceiveUntil(kTail), Chunked("[2]"));
}

TEST_F(HttpTest, HostileClientsAreRefusedOrTimedOut) {
  FakeDevice bigHead(http_->BoundPort());
  bigHead.Send("GET /api/hello HTTP/1.1\r\nSN: 1\r\nX-Big: " + std::string(20000, 'h') + "\r\n\r\n");
  EXPECT_EQ(bigHead.ReceiveUntil(kTail), Chunked("request head too large"));
  EXPECT_TRUE(bigHead.WaitClosed());

  FakeDevice slow(http_->BoundPort());
  slow.Send("GET /api/hel");
  EXPECT_TRUE(slow.WaitClosed(3000ms));  // the request never completes: timed out

  FakeDevice garbage(http_->BoundPort());
  garbage.Send("\x01\x02 nonsense\r\n\r\n");
  EXPECT_EQ(garbage.ReceiveUntil(kTail), Chunked("bad request"));
  EXPECT_TRUE(garbage.WaitClosed());

  EXPECT_EQ(Text("GET /api/hello HTTP/1.1\r\nSN: 1\r\n\r\n"), "welcome to tarnel");  // still serving
}

TEST_F(HttpTest, CommandReachesTheDeviceWithItsNextHeartbeat) {
  std::uint16_t port = StartDevices();
  EXPECT_EQ(Text(Post("/api/cmd", "led on", "SN: " + kSn + "\r\n")), "{ \"device_online_status\": 0 }");
  FakeDevice d;
  Register(d, port);
  auto reply = Async(Post("/api/cmd", "led on", "SN: " + kSn + "\r\n"));
  ASSERT_TRUE(WaitQueued(devices_->Registry(), kSn));
  d.Send(Frame("-36" + kSn));
  EXPECT_EQ(d.ReadFrame(), "-37led on\n");
  EXPECT_EQ(reply.get(), "{ \"device_online_status\": 1 }");
  auto lines = log_.Lines();
  std::vector<std::string> expected{"Http Recv:url  = /api/cmd", "Http Recv:sn  = " + kSn, "Http Recv:body  = led on",
                                    "Http Recv:result:{ \"device_online_status\": 1 }"};
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end()), expected);
}

TEST_F(HttpTest, SilentDeviceGetsStatus2AndKeepsTheText) {
  std::uint16_t port = StartDevices();
  FakeDevice d;
  Register(d, port);
  EXPECT_EQ(Text(Post("/api/cmd", "", "SN: " + kSn + "\r\n")), "{ \"device_online_status\": 2 }");
  d.Send(Frame("-36" + kSn));
  EXPECT_EQ(d.ReadFrame(), "-37\n");  // an empty body queues just the line feed
  EXPECT_EQ(Text(Post("/api/cmd", std::string(259, 'c'), "SN: " + kSn + "\r\n")), "body too long");
  ASSERT_TRUE(Device(kSn));
  EXPECT_EQ(QueuedBytes(devices_->Registry(), kSn), 0u);
  EXPECT_EQ(Text(Post("/api/cmd", "x", "SN: " + kSn.substr(0, 23) + "B\r\n")), "{ \"device_online_status\": 0 }");
}

// Answers the device's next "query dev_infos" with `record`.
void AnswerQuery(FakeDevice& d, const std::string& record) {
  d.Send(Frame("-36" + kSn));
  ASSERT_EQ(d.ReadFrame(), "-37query dev_infos\n");
  d.Send(Frame("-58" + kSn + record));
}

TEST_F(HttpTest, StatusQueryAnswersTheDevicesRecord) {
  std::uint16_t port = StartDevices();
  EXPECT_EQ(Text(Post("/api/status", "", "SN: " + kSn + "\r\n")), "{ \"device_online_status\": 0}");
  FakeDevice d;
  Register(d, port);
  // An old record, late, already waiting: it must not be taken for the answer.
  DeviceInfo old;
  old.version[0] = 9;
  Device(kSn)->ReplyRing().PushAll(EncodeDeviceInfo(old).data(), 255);

  auto reply = Async(Post("/api/status", "", "SN: " + kSn + "\r\n"));
  ASSERT_TRUE(WaitQueued(devices_->Registry(), kSn));
  AnswerQuery(d, EncodeDeviceInfo(SampleDeviceInfo()));
  std::string text = reply.get();
  EXPECT_EQ(text,
            "{ \"device_online_status\": 1 , \"version\": \"01.02.03\" , \"ip\" : \"192.168.1.20\", \"mac\" : "
            "\"12:AB:0C:00:FF:1FF\",\"runtime\" : \"2024-01-02 03:04:05\"}");
  EXPECT_TRUE(WaitUntil([&] { return log_.Count("Http Recv:sn  = " + kSn + ",result:" + text) == 1; }));
}

TEST_F(HttpTest, ShortRecordReadsZerosAndASilentDeviceIsOffline) {
  std::uint16_t port = StartDevices();
  FakeDevice d;
  Register(d, port);
  auto reply = Async(Post("/api/status", "", "SN: " + kSn + "\r\n"));
  ASSERT_TRUE(WaitQueued(devices_->Registry(), kSn));
  AnswerQuery(d, EncodeDeviceInfo(SampleDeviceInfo()).substr(0, 100));
  EXPECT_EQ(reply.get(),
            "{ \"device_online_status\": 1 , \"version\": \"00.00.00\" , \"ip\" : \"0.0.0.0\", \"mac\" : "
            "\"12:AB:0C:00:FF:1FF\",\"runtime\" : \"2024-01-02 03:04:05\"}");

  // Takes the query but never answers: offline.
  auto silent = Async(Post("/api/status", "", "SN: " + kSn + "\r\n"));
  ASSERT_TRUE(WaitQueued(devices_->Registry(), kSn));
  d.Send(Frame("-36" + kSn));
  EXPECT_EQ(d.ReadFrame(), "-37query dev_infos\n");
  EXPECT_EQ(silent.get(), "{ \"device_online_status\": 0}");
}

TEST_F(HttpTest, TwoStatusQueriesAtOnceBothGetTheRecord) {
  std::uint16_t port = StartDevices();
  FakeDevice d;
  Register(d, port);
  auto first = Async(Post("/api/status", "", "SN: " + kSn + "\r\n"));
  auto second = Async(Post("/api/status", "", "SN: " + kSn + "\r\n"));
  ASSERT_TRUE(WaitQueued(devices_->Registry(), kSn));
  std::this_thread::sleep_for(50ms);  // both requests are in
  AnswerQuery(d, EncodeDeviceInfo(SampleDeviceInfo()));
  std::string a = first.get(), b = second.get();
  EXPECT_NE(a.find("\"version\": \"01.02.03\""), std::string::npos) << a;
  EXPECT_EQ(a, b);
}

TEST_F(HttpTest, AWaitingRequestDelaysNoOther) {
  std::uint16_t port = StartDevices(ServerTimings{}, 15000, 3000ms);
  FakeDevice d;
  Register(d, port);
  FakeDevice waiting(http_->BoundPort());
  waiting.Send(Post("/api/cmd", "x", "SN: " + kSn + "\r\n"));
  ASSERT_TRUE(WaitQueued(devices_->Registry(), kSn));
  std::vector<std::future<std::string>> others;
  for (int i = 0; i < 8; ++i) others.push_back(Async("GET /api/hello HTTP/1.1\r\nSN: 1\r\n\r\n"));
  for (auto& f : others) EXPECT_EQ(f.get(), "welcome to tarnel");
  EXPECT_TRUE(waiting.Silent(10ms));  // the command is still waiting for its device
  d.Send(Frame("-36" + kSn));
  EXPECT_EQ(waiting.ReceiveUntil(kTail), Chunked("{ \"device_online_status\": 1 }"));
}

TEST_F(HttpTest, AStuckPeerNeitherStallsTheOthersNorHasItsTextsReportedTaken) {
  ServerTimings timings;
  timings.outputBound = 32 * 1024;
  timings.deviceWait = 300ms;
  // Send time-out 1.5 s (15 s in Velmo); the API waits the designed 5 s.
  std::uint16_t port = StartDevices(timings, 1500, 5000ms);
  const std::string stuckSn = "20230101000a0000000000ff";
  FakeDevice stuck, healthy, requester;
  stuck.Open();
  int small = 4096;
  setsockopt(stuck.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ASSERT_TRUE(stuck.ConnectOpened(port));
  ASSERT_TRUE(stuck.Send(Frame("-36" + stuckSn)));
  ASSERT_FALSE(stuck.ReadFrame().empty());  // its clock; from here on it never reads
  Register(healthy, port);
  ASSERT_TRUE(requester.Connect(port));

  std::atomic<bool> done{false};
  std::thread heartbeats([&] {  // the healthy device heartbeats and reads as a device does
    while (!done) {
      healthy.Send(Frame("-36" + kSn));
      healthy.Receive(1 << 16, 200ms);
    }
  });
  // Relays of 4000-byte texts pile up on the stuck peer: each heartbeat of
  // it takes one into its output, until its output is full.
  int taken = 0;
  std::string answer;
  for (int i = 0; i < 3000 && answer != "-470000000001"; ++i) {  // the kernel takes up to 4 MiB first
    requester.Send(Frame("-46" + stuckSn + std::string(4000, static_cast<char>('a' + i % 26))));
    ASSERT_TRUE(WaitQueued(devices_->Registry(), stuckSn));
    stuck.Send(Frame("-36" + stuckSn));
    answer = requester.ReadFrame(3000ms);
    if (answer == "-470000000000") ++taken;
  }
  EXPECT_GT(taken, 0) << "relays taken before the output filled";
  EXPECT_EQ(answer, "-470000000001");  // its output is full: the text is not reported taken
  EXPECT_GT(QueuedBytes(devices_->Registry(), stuckSn), 0u);  // it stays queued

  // Meanwhile the others are served as ever: a command for the healthy device
  // is taken with its next heartbeat.
  EXPECT_EQ(Text(Post("/api/cmd", "led on", "SN: " + kSn + "\r\n")), "{ \"device_online_status\": 1 }");
  // And the stuck peer is closed with reason 1 once its output stayed full for the send time-out.
  ASSERT_TRUE(deviceEvents_.WaitCount("disconnect ", 1, 10000ms));
  EXPECT_EQ(LastCloseReason(deviceEvents_), 1);
  EXPECT_FALSE(Device(stuckSn));
  EXPECT_TRUE(Device(kSn));
  done = true;
  heartbeats.join();
}

TEST_F(HttpTest, TwoThousandWaitingCommandsHoldUpNothingElse) {
  // The API waits longer than the test: none of them may end by its bound.
  std::uint16_t port = StartDevices(ServerTimings{}, 15000, 20000ms);
  const std::string silentSn = "20230101000a0000000000ee";
  FakeDevice silent, busy;
  Register(silent, port, silentSn);
  Register(busy, port);
  // 2 000 requests on their own connections, each a one-letter command (so all
  // of them fit the device's queue at once).
  constexpr int kWaiting = 2000;
  std::vector<std::unique_ptr<FakeDevice>> waiting;
  for (int i = 0; i < kWaiting; ++i) {
    waiting.push_back(std::make_unique<FakeDevice>(http_->BoundPort()));
    ASSERT_TRUE(waiting.back()->Send(Post("/api/cmd", std::string(1, static_cast<char>('A' + i % 26)),
                                          "SN: " + silentSn + "\r\n")));
  }
  ASSERT_TRUE(WaitUntil([&] { return QueuedBytes(devices_->Registry(), silentSn) == 2u * kWaiting; }, 20000ms));
  auto answered = [&] {
    int n = 0;
    for (auto& w : waiting) n += w->Silent(0ms) ? 0 : 1;
    return n;
  };
  // While all of them wait: the API answers at once, and a command for a
  // device that heartbeats is taken.
  EXPECT_EQ(Text("GET /api/hello HTTP/1.1\r\nSN: 1\r\n\r\n"), "welcome to tarnel");
  auto command = Async(Post("/api/cmd", "go", "SN: " + kSn + "\r\n"));
  ASSERT_TRUE(WaitQueued(devices_->Registry(), kSn));
  busy.Send(Frame("-36" + kSn));
  EXPECT_EQ(busy.ReadFrame(), "-37go\n");
  EXPECT_EQ(command.get(), "{ \"device_online_status\": 1 }");
  EXPECT_EQ(answered(), 0);  // none of the 2 000 was held up to make room, none given up

  // The silent device's next heartbeat takes every text, once, in one frame.
  silent.Send(Frame("-36" + silentSn));
  std::string frame = silent.ReadFrame();
  ASSERT_EQ(frame.size(), 3u + 2u * kWaiting);
  EXPECT_EQ(frame.substr(0, 3), "-37");
  std::map<char, int> letters;
  for (std::size_t i = 3; i < frame.size(); i += 2) {
    EXPECT_EQ(frame[i + 1], '\n');
    ++letters[frame[i]];
  }
  for (int l = 0; l < 26; ++l) EXPECT_EQ(letters['A' + l], kWaiting / 26 + (l < kWaiting % 26 ? 1 : 0));
  for (auto& w : waiting) EXPECT_EQ(w->ReceiveUntil(kTail), Chunked("{ \"device_online_status\": 1 }"));
  silent.Send(Frame("-36" + silentSn));
  EXPECT_TRUE(silent.Silent());  // nothing twice
}

}  // namespace
}  // namespace velmo::test
