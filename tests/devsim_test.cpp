// velmo-devsim: its command line, and a run against an in-process server.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <tuple>

#include <thread>

#include "protocol/DeviceInfoRecord.h"
#include "protocol/DeviceProtocol.h"
#include "socketserver/ClientRegistry.h"
#include "socketserver/SocketServer.h"
#include "tests/ServerFixture.h"
#include "tools/devsim/DevsimOptions.h"
#include "tools/devsim/Requester.h"
#include "tools/devsim/Simulator.h"

namespace velmo::test {
namespace {

using devsim::Options;
using devsim::Parse;

TEST(DevsimOptions, Table) {
  struct Case {
    std::vector<const char*> args;
    Parse result;
    const char* errorPart;
  } cases[] = {
      {{"--server", "10.0.0.1:9000", "--devices", "50", "--heartbeat", "0.5"}, Parse::Run, ""},
      {{"--help"}, Parse::Help, ""},
      {{"--server", "nohost"}, Parse::Error, "HOST:PORT"},
      {{"--server", "h:0"}, Parse::Error, "HOST:PORT"},
      {{"--server", "a:1,b:2", "--reconnect"}, Parse::Run, ""},
      {{"--server", "a:1,,b:2"}, Parse::Error, "HOST:PORT[,HOST:PORT...]"},
      {{"--server", "a:1,b"}, Parse::Error, "HOST:PORT[,HOST:PORT...]"},
      {{"--server", "a:1,"}, Parse::Error, "HOST:PORT[,HOST:PORT...]"},
      {{"--devices", "0"}, Parse::Error, "1 to 100000"},
      {{"--devices", "2.5"}, Parse::Error, "1 to 100000"},
      {{"--heartbeat", "x"}, Parse::Error, "seconds"},
      {{"--sn", "ABC", "--devices", "2"}, Parse::Error, "--sn names one device"},
      {{"--sn-prefix", "123456789012345678901234"}, Parse::Error, "at most 23"},
      {{"--devices"}, Parse::Error, "needs a value"},
      {{"--what", "1"}, Parse::Error, "unknown option"},
      {{"--relay", "202300000000000000000001", "led on"}, Parse::Run, ""},
      {{"--relay", "202300000000000000000001"}, Parse::Error, "needs an SN and a text"},
      {{"--query", "2023000000000000000000011", "q"}, Parse::Error, "at most 24"},
      {{"--upload", "/tmp/x", "--name", "y"}, Parse::Run, ""},
      {{"--download", "x", "--block", "3072", "--output", "/tmp/y"}, Parse::Run, ""},
      {{"--download", "x", "--block", "0"}, Parse::Error, "block size from 1 to 99996"},
      {{"--upload"}, Parse::Error, "needs a value"},
      {{"--server=10.0.0.1:9000", "--devices=50", "--relay=202300000000000000000001", "led on"}, Parse::Run, ""},
      {{"--quiet=yes"}, Parse::Error, "option --quiet takes no value"},
      {{"--devices=0"}, Parse::Error, "option --devices: '0' is not a number from 1 to 100000"},
      {{"--devices", "3", "stray"}, Parse::Error, "unexpected argument 'stray'"},
      {{"-x"}, Parse::Error, "unknown option '-x'"},
  };
  for (const auto& c : cases) {
    std::vector<const char*> argv{"velmo-devsim"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Options o;
    std::string err;
    EXPECT_EQ(devsim::ParseOptions(static_cast<int>(argv.size()), argv.data(), &o, &err), c.result) << c.args[0];
    EXPECT_NE(err.find(c.errorPart), std::string::npos) << err;
  }
  const char* argv[] = {"velmo-devsim", "--server", "10.0.0.1:9000", "--devices", "50", "--heartbeat", "0.5"};
  Options o;
  std::string err;
  ASSERT_EQ(devsim::ParseOptions(7, argv, &o, &err), Parse::Run);
  EXPECT_EQ(o.host, "10.0.0.1");
  EXPECT_EQ(o.port, 9000);
  EXPECT_EQ(o.devices, 50);
  EXPECT_DOUBLE_EQ(o.heartbeatSeconds, 0.5);
  EXPECT_TRUE(o.quiet);  // many devices: counted, not printed
  const char* several[] = {"velmo-devsim", "--server", "10.0.0.1:9000,node-b:9001", "--reconnect"};
  Options s;
  ASSERT_EQ(devsim::ParseOptions(4, several, &s, &err), Parse::Run) << err;
  ASSERT_EQ(s.servers.size(), 2u);
  EXPECT_EQ(s.servers[1].host, "node-b");
  EXPECT_EQ(s.servers[1].port, 9001);
  EXPECT_EQ(s.host, "10.0.0.1");  // the first, for the one-shot modes
  EXPECT_EQ(s.port, 9000);
  EXPECT_TRUE(s.reconnect);

  // "--option=value" and "--option value" are the same.
  const char* joined[] = {"velmo-devsim", "--server=10.0.0.1:9000", "--devices=50", "--heartbeat=0.5", "--sn-prefix=77"};
  const char* apart[] = {"velmo-devsim", "--server", "10.0.0.1:9000", "--devices", "50", "--heartbeat", "0.5",
                         "--sn-prefix", "77"};
  Options a, b;
  ASSERT_EQ(devsim::ParseOptions(5, joined, &a, &err), Parse::Run) << err;
  ASSERT_EQ(devsim::ParseOptions(9, apart, &b, &err), Parse::Run) << err;
  EXPECT_EQ(std::tie(a.host, a.port, a.devices, a.heartbeatSeconds, a.snPrefix),
            std::tie(b.host, b.port, b.devices, b.heartbeatSeconds, b.snPrefix));
  EXPECT_EQ(a.snPrefix, "77");
}

TEST(DevsimOptions, RequestPayloads) {
  Options o;
  o.request = Options::Request::Relay;
  o.targetSn = "ABC";
  o.requestText = "led on";
  EXPECT_EQ(devsim::RequestPayload(o), "-46ABC" + std::string(21, '\0') + "led on");
  o.request = Options::Request::Query;
  EXPECT_EQ(devsim::RequestPayload(o).substr(0, 3), "-56");
  EXPECT_EQ(devsim::DescribeAnswer("-470000000002"), "-470000000002: no device has that SN");
}

TEST(DevsimOptions, DeviceSns) {
  Options o;
  EXPECT_EQ(devsim::DeviceSn(o, 7), "202300000000000000000007");
  o.snPrefix = "20210807001e0038";
  EXPECT_EQ(devsim::DeviceSn(o, 12), "20210807001e003800000012");
  o.sn = "MYDEVICE";
  EXPECT_EQ(devsim::DeviceSn(o, 0), "MYDEVICE");
}

TEST(Devsim, DevicesRegisterGetTheirClockAndAnswerQueries) {
  LoopThread window;
  auto server = MakeServer(window, ServerConfig{});
  Options o;
  o.port = ListeningPort(window, *server);
  o.devices = 3;
  o.heartbeatSeconds = 0.05;
  o.durationSeconds = 30;  // ended by `stop` below
  std::FILE* sink = std::tmpfile();
  devsim::CSimulator sim(o, sink);
  std::atomic<bool> stop{false};
  std::thread runner([&] { sim.Run(stop); });

  ASSERT_TRUE(WaitUntil([&] { return window.Call([&] { return server->CountWithSn(); }) == 3; }));
  auto device = server->Registry().FindBySn("202300000000000000000001");
  ASSERT_TRUE(device);
  device->RequestRing().PushAll("query dev_infos\n", 16);
  ASSERT_TRUE(WaitUntil([&] { return !device->ReplyRing().IsEmpty(); }));  // no query waits: the record stays in the ring
  std::uint8_t record[908];
  std::size_t n = device->ReplyRing().PopInto(record, sizeof record, true);
  device.reset();
  stop = true;
  runner.join();
  window.Call([&] { server.reset(); });

  EXPECT_EQ(n, kDeviceRecordMinBytes);
  DeviceInfo info = DecodeDeviceInfo(record, n);
  EXPECT_EQ(info.version[0], 1);
  EXPECT_EQ(info.version[2], 3);
  EXPECT_EQ(info.ip[0], 10);
  EXPECT_EQ(info.ip[3], 1);  // device number 1
  EXPECT_GE(info.runtime[0], 2024);
  const auto& stats = sim.GetStats();
  EXPECT_EQ(stats.connected, 3);
  EXPECT_EQ(stats.connectFailed, 0);
  EXPECT_GE(stats.commands, 1);  // at least the query (its clock may have come first, or not)
  EXPECT_EQ(stats.records, 1);
  EXPECT_NE(sim.Summary().find("3 devices: 3 connected"), std::string::npos);
  std::rewind(sink);
  char line[256];
  std::string printed;
  while (std::fgets(line, sizeof line, sink)) printed += line;
  std::fclose(sink);
  EXPECT_NE(printed.find("202300000000000000000001: query dev_infos\n"), std::string::npos) << printed;
}

// A bare listener standing in for one server: it counts and keeps the
// connections it accepts, and can drop them all.
class Listener {
 public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 16);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Listener() { Close(); }
  std::uint16_t Port() const { return port_; }
  // Accepts what waits; returns the connections accepted so far.
  std::size_t Accepted() {
    for (int c; fd_ >= 0 && (c = accept(fd_, nullptr, nullptr)) >= 0;) accepted_.push_back(c);
    return total_ = std::max(total_, accepted_.size() + dropped_);
  }
  // Closes every connection and the listener: the server is gone.
  void Close() {
    for (int c : accepted_) close(c);
    dropped_ += accepted_.size();
    accepted_.clear();
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::vector<int> accepted_;
  std::size_t dropped_ = 0, total_ = 0;
};

TEST(Devsim, DevicesSpreadOverServersAndMoveOnWhenOneGoes) {
  Listener a, b;
  Options o;
  o.servers = {{"127.0.0.1", a.Port()}, {"127.0.0.1", b.Port()}};
  o.devices = 4;
  o.heartbeatSeconds = 0.05;
  o.durationSeconds = 30;  // ended by `stop` below
  o.reconnect = true;
  o.quiet = true;
  std::FILE* sink = std::tmpfile();
  devsim::CSimulator sim(o, sink);
  std::atomic<bool> stop{false};
  std::thread runner([&] { sim.Run(stop); });
  EXPECT_TRUE(WaitUntil([&] { return a.Accepted() == 2 && b.Accepted() == 2; }));  // two each
  a.Close();  // server A goes: its two devices come to B, a second later
  EXPECT_TRUE(WaitUntil([&] { return b.Accepted() == 4; }, 10s));
  stop = true;
  runner.join();
  std::fclose(sink);
  EXPECT_EQ(sim.GetStats().reconnects, 2);
  EXPECT_EQ(sim.GetStats().disconnected, 2);
  EXPECT_NE(sim.Summary().find("; 2 reconnects"), std::string::npos) << sim.Summary();
}

}  // namespace
}  // namespace velmo::test
