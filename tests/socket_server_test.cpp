// The device server over real loopback sockets: accept path, close reasons,
// idle limits, listener restart and stop, bulk close, counts and rows, a
// failed set-up, descriptor exhaustion, frame writing, a peer that does not
// read.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "protocol/Frame.h"
#include "socketserver/ClientRegistry.h"
#include "socketserver/SocketServer.h"
#include "tests/ServerFixture.h"

namespace velmo::test {
namespace {

// The owner the callbacks report to.
struct Owner {
  EventRecorder events;
  std::atomic<bool> rejectAccept{false};
};

Owner& O(void* user) { return *static_cast<Owner*>(user); }

void OnAccept(void* u, const AcceptInfo* info, int* accept) {
  O(u).events.Add("accept " + std::to_string(info->socket));
  if (O(u).rejectAccept) *accept = 0;
}
void OnAcceptErr(void* u, Socket s) { O(u).events.Add("accepterr " + std::to_string(s)); }
void OnConnect(void* u, Socket s) { O(u).events.Add("connect " + std::to_string(s)); }
void OnNotice(void* u, const char* text) { O(u).events.Add(std::string("notice ") + text); }
void OnDisconnect(void* u, Socket s, int reason) {
  O(u).events.Add("disconnect " + std::to_string(s) + " " + std::to_string(reason));
}

// A line protocol for these tests: "SN:<sn>\n" registers, "PING\n" resets the
// idle counter and answers "PONG", "LIMIT5\n" shortens the idle limit,
// "FAIL\n" reports a receive error and a peer close at once, "FLOOD\n" sends
// until the connection refuses more (answering "FULL" in the log of frames
// it refused: a refused send writes nothing).
class LineProtocol final : public IClientProtocol {
 public:
  LineProtocol(CServerClientSocket& c, bool failSetup) : conn_(c), failSetup_(failSetup) {}
  bool Setup() override { return !failSetup_; }
  void OnReceived(const std::uint8_t* data, int length) override {
    pending_.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
    for (auto nl = pending_.find('\n'); nl != std::string::npos; nl = pending_.find('\n')) {
      std::string line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      if (line.rfind("SN:", 0) == 0) {
        conn_.SetSn(line.data() + 3, line.size() - 3);
      } else if (line == "PING") {
        conn_.ResetIdle();
        conn_.SendRaw("PONG");
      } else if (line == "LIMIT5") {
        conn_.SetIdleLimitSeconds(kHeartbeatIdleLimitSeconds);
      } else if (line == "FAIL") {
        conn_.PostClose(WM_CLOSE_RECV_ERROR);
        conn_.PostClose(WM_CLOSE_PEER);
      } else if (line == "FLOOD") {
        const std::string chunk(64 * 1024, 'f');
        for (int i = 0; i < 1024 && conn_.SendRaw(chunk); ++i) {
        }
        refusedWhenFull = conn_.OutputFull() && !conn_.SendRaw("@00004-37x");
      }
    }
  }
  void CancelTransfer() override {}
  void Shutdown(std::function<void()> done) override { done(); }
  bool Busy() const override { return false; }

  std::atomic<bool> refusedWhenFull{false};

 private:
  CServerClientSocket& conn_;
  const bool failSetup_;
  std::string pending_;
};

// Runs `fn` on the connection's I/O thread and waits for it, 5 s at most.
// Returns false when it did not run by then (the connection is going away).
bool RunOn(CServerClientSocket& c, std::function<void()> fn) {
  auto done = std::make_shared<std::promise<void>>();
  auto ran = done->get_future();
  c.Post([fn = std::move(fn), done] {
    fn();
    done->set_value();
  });
  return ran.wait_for(5s) == std::future_status::ready;
}

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    timings_.idleTick = 10ms;
    timings_.postRetry = 5ms;
    timings_.acceptBackoff = 5ms;
    ServerConfig config;
    config.owner = &owner_;
    config.timings = timings_;
    config.onAccept = &OnAccept;
    config.onAcceptErr = &OnAcceptErr;
    config.onSocketConnect = &OnConnect;
    config.callbacks.onSocketDisconnect = &OnDisconnect;
    config.callbacks.onNotice = &OnNotice;
    config.factory = [this](CServerClientSocket& c) {
      auto p = std::make_unique<LineProtocol>(c, failNextSetup_.exchange(false));
      protocols_.push_back(p.get());
      return p;
    };
    config.start = false;  // each test starts it
    server_ = MakeServer(window_, config);
  }
  void TearDown() override {
    // Whatever was still connected is closed for good once the server is gone.
    std::vector<std::weak_ptr<CServerClientSocket>> left;
    window_.Call([&] {
      for (auto& c : server_->Registry().Snapshot()) left.push_back(c);
    });
    window_.Call([&] { server_.reset(); });
    for (auto& weak : left) {
      auto c = weak.lock();
      EXPECT_TRUE(!c || c->PublicState() == ConnState::Closed);
    }
  }

  std::uint16_t Start() {
    return window_.Call([&]() -> std::uint16_t { return server_->Start() ? server_->ListeningPort() : 0; });
  }
  // Connects a device and waits until the server has set it up.
  void Connect(FakeDevice& d, std::uint16_t port) {
    std::size_t before = owner_.events.Count("connect ");
    ASSERT_TRUE(d.Connect(port));
    ASSERT_TRUE(owner_.events.WaitCount("connect ", before + 1));
  }
  std::size_t Connections() { return server_->Registry().Size(); }

  LoopThread window_;
  Owner owner_;
  ServerTimings timings_;
  std::atomic<bool> failNextSetup_{false};
  std::vector<LineProtocol*> protocols_;  // window thread (the factory), read after a connect
  std::unique_ptr<CSocketServer> server_;
};

TEST_F(ServerTest, AcceptConnectAndPeerCloseAreReportedOnceEach) {
  std::uint16_t port = Start();
  ASSERT_NE(port, 0);
  FakeDevice d;
  Connect(d, port);
  auto lines = owner_.events.Lines();
  ASSERT_EQ(lines.size(), 2u);
  std::string fd = lines[0].substr(strlen("accept "));
  EXPECT_EQ(lines[1], "connect " + fd);
  EXPECT_EQ(Connections(), 1u);

  d.Close();
  ASSERT_TRUE(owner_.events.WaitCount("disconnect ", 1));
  std::this_thread::sleep_for(50ms);  // room for a wrong second report
  EXPECT_EQ(owner_.events.Count("disconnect "), 1u);
  EXPECT_EQ(owner_.events.Lines().back(), "disconnect " + fd + " 0");
  EXPECT_EQ(Connections(), 0u);
}

TEST_F(ServerTest, ResetIsReasonZero) {
  FakeDevice d;
  Connect(d, Start());
  d.Send("x\n");
  d.Reset();
  ASSERT_TRUE(owner_.events.WaitCount("disconnect ", 1));
  EXPECT_EQ(LastCloseReason(owner_.events), 0);
}

TEST_F(ServerTest, TwoCloseReasonsAtOnceGiveOneReportWithTheFirstReason) {
  FakeDevice d;
  Connect(d, Start());
  d.Send("FAIL\n");
  ASSERT_TRUE(owner_.events.WaitCount("disconnect ", 1));
  EXPECT_TRUE(d.WaitClosed());
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(owner_.events.Count("disconnect "), 1u);
  EXPECT_EQ(LastCloseReason(owner_.events), 2);
}

TEST_F(ServerTest, SilentConnectionIsClosedAfterSixtyTicksNotBefore) {
  FakeDevice d;
  auto start = std::chrono::steady_clock::now();
  Connect(d, Start());
  ASSERT_TRUE(owner_.events.WaitCount("disconnect ", 1));
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, 60 * timings_.idleTick);  // reported on the 61st tick
  EXPECT_TRUE(d.WaitClosed());
  std::this_thread::sleep_for(20 * timings_.idleTick);  // the monitor repeats; the report does not
  EXPECT_EQ(owner_.events.Count("disconnect "), 1u);
}

TEST_F(ServerTest, ResettingFramesKeepAConnectionAliveAndTheShortLimitDropsItSoon) {
  FakeDevice d;
  Connect(d, Start());
  for (int i = 0; i < 12; ++i) {  // 120 ticks of traffic, one reset every 10 ticks
    ASSERT_TRUE(d.Send("PING\n"));
    ASSERT_EQ(d.Receive(4), "PONG");
    std::this_thread::sleep_for(10 * timings_.idleTick);
  }
  EXPECT_EQ(owner_.events.Count("disconnect "), 0u);

  d.Send("LIMIT5\nPING\n");
  ASSERT_EQ(d.Receive(4), "PONG");
  auto quiet = std::chrono::steady_clock::now();
  ASSERT_TRUE(owner_.events.WaitCount("disconnect ", 1));
  EXPECT_GE(std::chrono::steady_clock::now() - quiet, 5 * timings_.idleTick);
}

TEST_F(ServerTest, StartTwiceKeepsConnectionsAndListensAgainOnTheSamePort) {
  std::uint16_t port = FreePort();
  window_.Call([&] { server_->SetPort(port); });
  ASSERT_EQ(Start(), port);
  FakeDevice first;
  Connect(first, port);
  ASSERT_EQ(Start(), port);
  EXPECT_EQ(Connections(), 1u);
  FakeDevice second;
  Connect(second, port);
  EXPECT_EQ(Connections(), 2u);
  ASSERT_TRUE(first.Send("PING\n"));
  EXPECT_EQ(first.Receive(4), "PONG");
  EXPECT_EQ(owner_.events.Count("disconnect "), 0u);
  EXPECT_EQ(owner_.events.Count("accepterr "), 0u);
}

TEST_F(ServerTest, StopListeningKeepsDevicesWorkingAndRefusesNewOnes) {
  std::uint16_t port = Start();
  FakeDevice d;
  Connect(d, port);
  window_.Call([&] { server_->StopListening(); });
  window_.Call([&] { server_->StopListening(); });  // twice is harmless
  FakeDevice late;
  EXPECT_FALSE(late.Connect(port));
  ASSERT_TRUE(d.Send("PING\n"));
  EXPECT_EQ(d.Receive(4), "PONG");
  EXPECT_EQ(Connections(), 1u);
  window_.Call([&] { server_->CloseAllConnections(); });
  EXPECT_TRUE(d.WaitClosed());
  EXPECT_EQ(owner_.events.Count("accepterr "), 0u);
}

TEST_F(ServerTest, CloseAllConnectionsClosesEverySocketWithoutReports) {
  std::uint16_t port = Start();
  FakeDevice d[3];
  for (auto& dev : d) Connect(dev, port);
  EXPECT_EQ(Connections(), 3u);
  window_.Call([&] { server_->CloseAllConnections(); });
  EXPECT_EQ(Connections(), 0u);
  for (auto& dev : d) EXPECT_TRUE(dev.WaitClosed());
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(owner_.events.Count("disconnect "), 0u);
}

TEST_F(ServerTest, AcceptRefusedByTheOwnerClosesThePeerAndCreatesNothing) {
  owner_.rejectAccept = true;
  FakeDevice d;
  ASSERT_TRUE(d.Connect(Start()));
  EXPECT_TRUE(d.WaitClosed());
  EXPECT_EQ(owner_.events.Count("accept "), 1u);
  EXPECT_EQ(owner_.events.Count("connect "), 0u);
  EXPECT_EQ(Connections(), 0u);
}

TEST_F(ServerTest, NullCallbacksAcceptEveryConnection) {
  window_.Call([&] {
    server_->SetOnAccept(nullptr);
    server_->SetOnSocketConnect(nullptr);
    server_->SetOnSocketDisconnect(nullptr);
  });
  FakeDevice d;
  ASSERT_TRUE(d.Connect(Start()));
  ASSERT_TRUE(WaitUntil([&] { return Connections() == 1; }));
  d.Close();
  ASSERT_TRUE(WaitUntil([&] { return Connections() == 0; }));
  EXPECT_TRUE(owner_.events.Lines().empty());
}

TEST_F(ServerTest, PortInUseFailsStartAndALaterStartSucceeds) {
  std::uint16_t port = FreePort();
  int blocker = platform::OpenListener("127.0.0.1", port, nullptr);
  ASSERT_GE(blocker, 0);
  window_.Call([&] { server_->SetPort(port); });
  EXPECT_EQ(Start(), 0);
  EXPECT_NE(window_.Call([&] { return server_->LastStartError(); }).find("bind"), std::string::npos);
  EXPECT_FALSE(window_.Call([&] { return server_->IsListening(); }));
  platform::CloseSocket(blocker);
  EXPECT_EQ(Start(), port);
}

TEST_F(ServerTest, ConnectionsQueuedAtStopAreClosedWithoutReports) {
  std::uint16_t port = Start();
  FakeDevice d;
  window_.Call([&] {
    // The window thread is busy here: the accept thread can only queue.
    ASSERT_TRUE(d.Connect(port));
    ASSERT_TRUE(WaitUntil([&] { return window_.Loop().QueuedCount() > 0; }));
    server_->StopListening();
  });
  EXPECT_TRUE(d.WaitClosed());
  EXPECT_EQ(owner_.events.Count("accept "), 0u);
  EXPECT_EQ(Connections(), 0u);
}

TEST_F(ServerTest, AFailedSetUpRefusesOnlyThatConnection) {
  std::uint16_t port = Start();
  FakeDevice first;
  Connect(first, port);
  failNextSetup_ = true;
  FakeDevice unlucky;
  ASSERT_TRUE(unlucky.Connect(port));
  EXPECT_TRUE(unlucky.WaitClosed());
  EXPECT_TRUE(owner_.events.WaitCount("notice refused a connection: its protocol could not be set up", 1));
  EXPECT_EQ(owner_.events.Count("connect "), 1u);
  ASSERT_TRUE(first.Send("PING\n"));  // the others keep working
  EXPECT_EQ(first.Receive(4), "PONG");
  FakeDevice next;
  Connect(next, port);
  EXPECT_EQ(Connections(), 2u);
}

TEST_F(ServerTest, OutOfDescriptorsNewConnectionsAreRefusedCleanlyAndListeningGoesOn) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "UndefinedBehaviorSanitizer probes memory through a pipe and misreports without descriptors";
#endif
  std::uint16_t port = Start();
  FakeDevice first, second;
  Connect(first, port);
  second.Open();
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  rlimit low = saved;
  low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 4096);  // keep the filling quick
  setrlimit(RLIMIT_NOFILE, &low);
  // Use up every descriptor: the next connection finds none left for it.
  std::vector<int> fillers;
  for (int fd = dup(0); fd >= 0; fd = dup(0)) fillers.push_back(fd);
  bool secondConnected = second.ConnectOpened(port);
  bool secondRefused = second.WaitClosed();
  bool noticed = owner_.events.WaitCount("notice refused a connection: accept: Too many open files", 1);
  for (int fd : fillers) close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_TRUE(secondConnected);
  EXPECT_TRUE(secondRefused);  // closed at once, not left hanging in the backlog
  EXPECT_TRUE(noticed);
  EXPECT_EQ(owner_.events.Count("connect "), 1u);
  EXPECT_EQ(owner_.events.Count("accepterr "), 0u);
  ASSERT_TRUE(first.Send("PING\n"));  // the connected device keeps working
  EXPECT_EQ(first.Receive(4), "PONG");
  FakeDevice third;
  Connect(third, port);  // and listening goes on
}

TEST_F(ServerTest, CountsAndRowsFollowRegistrationInAcceptOrder) {
  std::uint16_t port = Start();
  FakeDevice a, b, c, plain;
  for (auto* d : {&a, &b, &c, &plain}) Connect(*d, port);
  a.Send("SN:20210807001e00383436470a\n");
  b.Send("SN:ABC\n");
  c.Send("SN:20210807001e00383436470a\n");
  ASSERT_TRUE(WaitUntil([&] { return window_.Call([&] { return server_->CountWithSn(); }) == 3; }));
  EXPECT_EQ(window_.Call([&] { return server_->CountNoSn(); }), 1);
  auto rows = window_.Call([&] { return server_->GetDeviceRows(); });
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_STREQ(rows[0].sn, "20210807001e00383436470a");
  EXPECT_STREQ(rows[1].sn, "ABC");
  EXPECT_STREQ(rows[2].sn, "20210807001e00383436470a");
  for (const auto& r : rows) EXPECT_STREQ(r.address, "127.0.0.1");

  auto found = server_->Registry().FindBySn("20210807001e00383436470a");
  ASSERT_TRUE(found);
  EXPECT_EQ(platform::NetToHost16(found->PeerAddress().portNet), a.LocalPort());  // the older of the two
  EXPECT_FALSE(server_->Registry().FindBySn("abc"));
  EXPECT_FALSE(server_->Registry().FindBySn(""));

  a.Close();
  ASSERT_TRUE(WaitUntil([&] { return window_.Call([&] { return server_->GetDeviceRows().size(); }) == 2; }));
}

TEST_F(ServerTest, LongSnIsCutTo259Bytes) {
  FakeDevice d;
  Connect(d, Start());
  d.Send("SN:" + std::string(400, 'S') + "\n");
  ASSERT_TRUE(WaitUntil([&] { return window_.Call([&] { return server_->CountWithSn(); }) == 1; }));
  auto rows = window_.Call([&] { return server_->GetDeviceRows(); });
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(std::string(rows[0].sn), std::string(259, 'S'));
}

TEST_F(ServerTest, FramesFromSeveralThreadsNeverInterleave) {
  FakeDevice d;
  Connect(d, Start());
  auto conn = server_->Registry().Snapshot().at(0);
  constexpr int kFrames = 300;
  // Frames built elsewhere (as the file threads do) and frames of the I/O thread itself.
  auto poster = [&](char fill, std::size_t payload) {
    std::string frame(kFrameHeaderBytes + payload, fill);
    ASSERT_TRUE(FrameHeader(payload, frame.data()));
    for (int i = 0; i < kFrames; ++i) {
      while (!conn->PostBytes(frame)) std::this_thread::sleep_for(1ms);  // the output is full: the reader catches up
    }
  };
  auto own = [&] {
    for (int i = 0; i < kFrames; ++i) {
      // One try on the I/O thread at a time: the output drains between them.
      for (bool sent = false; !sent; std::this_thread::sleep_for(sent ? 0ms : 1ms)) {
        ASSERT_TRUE(RunOn(*conn, [&] { sent = SendFrame(*conn, {std::string(13, 'c')}); }));
      }
    }
  };
  std::thread t1(poster, 'a', 5000), t2(poster, 'b', 13), t3(own);
  std::string all = d.Receive(kFrames * (6 + 5000) + 2 * kFrames * (6 + 13), 10000ms);
  t1.join();
  t2.join();
  t3.join();
  std::size_t off = 0;
  int frames = 0;
  while (off < all.size()) {
    ASSERT_EQ(all[off], '@') << "at " << off;
    int len = std::stoi(all.substr(off + 1, 5));
    char fill = all[off + 6];
    ASSERT_EQ(len, fill == 'a' ? 5000 : 13);
    ASSERT_LE(off + 6 + static_cast<std::size_t>(len), all.size());
    ASSERT_EQ(all.find_first_not_of(fill, off + 6), off + 6 + len == all.size() ? std::string::npos : off + 6 + len);
    off += 6 + static_cast<std::size_t>(len);
    ++frames;
  }
  EXPECT_EQ(frames, 3 * kFrames);
  char header[kFrameHeaderBytes];
  EXPECT_TRUE(FrameHeader(99999, header));
  EXPECT_FALSE(FrameHeader(100000, header));
  bool tooLong = true;
  ASSERT_TRUE(RunOn(*conn, [&] { tooLong = SendFrame(*conn, {std::string(100000, 'x')}); }));
  EXPECT_FALSE(tooLong);
  EXPECT_TRUE(d.Silent());  // nothing of it was written
}

TEST_F(ServerTest, EveryFramePostedFromOtherThreadsThatWasAcceptedArrives) {
  // Threads race to post into a device's output while it does not read: those
  // refused are refused at once, and every one accepted is written later.
  FakeDevice d;
  d.Open();
  int small = 4096;
  setsockopt(d.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  Connect(d, Start());
  auto conn = server_->Registry().Snapshot().at(0);
  constexpr std::size_t kPayload = 9994;  // 10 000-byte frames
  std::atomic<std::size_t> accepted{0}, refused{0};
  auto poster = [&] {
    std::string frame(kFrameHeaderBytes + kPayload, 'p');
    FrameHeader(kPayload, frame.data());
    for (int i = 0; i < 200; ++i) (conn->PostBytes(frame) ? accepted : refused)++;
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back(poster);
  for (auto& t : threads) t.join();
  ASSERT_GT(refused.load(), 0u);  // the output filled up
  std::string all = d.Receive(accepted * (kPayload + 6), 10000ms);
  EXPECT_EQ(all.size(), accepted * (kPayload + 6));
  EXPECT_TRUE(d.Silent());
}

TEST_F(ServerTest, APeerThatStopsReadingIsRefusedMoreAndClosedAfterTheSendTimeout) {
  window_.Call([&] { server_->SetSendTimeout(300); });  // 15 s in Velmo
  FakeDevice stuck, healthy;
  stuck.Open();
  int small = 4096;
  setsockopt(stuck.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  std::uint16_t port = Start();
  ASSERT_TRUE(stuck.ConnectOpened(port));
  ASSERT_TRUE(owner_.events.WaitCount("connect ", 1));
  Connect(healthy, port);
  LineProtocol* flooded = window_.Call([&] { return protocols_.at(0); });
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(stuck.Send("FLOOD\n"));  // and never reads again
  ASSERT_TRUE(WaitUntil([&] { return flooded->refusedWhenFull.load(); }));
  auto conn = server_->Registry().Snapshot().at(0);
  EXPECT_GE(conn->OutputBytes(), timings_.outputBound);
  for (int i = 0; i < 5; ++i) {  // meanwhile the others are served as ever
    ASSERT_TRUE(healthy.Send("PING\n"));
    EXPECT_EQ(healthy.Receive(4), "PONG");
  }
  ASSERT_TRUE(owner_.events.WaitCount("disconnect ", 1));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
  EXPECT_EQ(LastCloseReason(owner_.events), 1);
  EXPECT_EQ(Connections(), 1u);
}

}  // namespace
}  // namespace velmo::test
