// Several velmo nodes sharing one device registry in a real redis-server:
// any node answers for any device with the bytes the holding node would
// answer, an SN held nowhere is offline, and the fleet survives a killed node
// and a lost registry.
#include <atomic>
#include <future>
#include <thread>

#include "cluster/ClusterConfig.h"
#include "cluster/ClusterForwarder.h"
#include "app/Options.h"
#include "httpserver/ApiRoutes.h"
#include "httpserver/HttpServer.h"
#include "protocol/DeviceInfoRecord.h"
#include "tests/ClusterFixture.h"

namespace velmo::test {
namespace {

constexpr const char kChunkedOk[] = "HTTP/1.1 200 OK\r\n";

// Lets `device` heartbeat until it is handed a text; returns that frame's payload.
std::string NextText(FakeDevice& device, const std::string& sn, std::chrono::milliseconds timeout = 5000ms) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    device.Send(Frame("-36" + sn));
    std::string frame = device.ReadFrame(300ms);
    if (frame.rfind("-37", 0) == 0 && frame.find("Set time") == std::string::npos) return frame;
  }
  return "";
}

TEST(ClusterOptions, CommandLine) {
  struct Case {
    std::vector<const char*> args;
    bool parses;
    const char* host;
    unsigned port, db;
  } cases[] = {
      {{"--cluster", "redis://127.0.0.1:6380/2"}, true, "127.0.0.1", 6380, 2},
      {{"--cluster", "redis://redis.example"}, true, "redis.example", 6379, 0},
      {{"--cluster", "redis://[::1]:7000"}, true, "::1", 7000, 0},
      {{"--cluster", "http://127.0.0.1:6379"}, false, "", 0, 0},
      {{"--cluster", "redis://127.0.0.1:0"}, false, "", 0, 0},
      {{"--cluster", "redis://127.0.0.1:6379/x"}, false, "", 0, 0},
      {{"--cluster", "redis://user:pw@127.0.0.1:6379"}, false, "", 0, 0},
      {{"--advertise", "10.0.0.5"}, false, "", 0, 0},
      {{"--node-id", "has space"}, false, "", 0, 0},
  };
  for (const Case& c : cases) {
    std::vector<const char*> argv{"velmo"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    AppOptions o;
    std::string error;
    const ParseResult r = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), &o, &error);
    EXPECT_EQ(r == ParseResult::Run, c.parses) << c.args[1] << ": " << error;
    if (c.parses) {
      EXPECT_EQ(o.cluster.redisHost, c.host);
      EXPECT_EQ(o.cluster.redisPort, c.port);
      EXPECT_EQ(o.cluster.redisDb, c.db);
    }
  }
  // The companions: a token file is required, the management port too; the
  // id and the address have defaults.
  AppOptions o;
  std::string error, warning;
  const char* bare[] = {"velmo", "--cluster", "redis://127.0.0.1:6379", "--device-port", "9100"};
  ASSERT_EQ(ParseCommandLine(5, bare, &o, &error), ParseResult::Run);
  EXPECT_FALSE(PrepareCluster(&o, &error, &warning));
  EXPECT_NE(error.find("--cluster-token-file"), std::string::npos) << error;
  const char* token[] = {"velmo", "--node-id", "a"};
  AppOptions alone;
  ASSERT_EQ(ParseCommandLine(3, token, &alone, &error), ParseResult::Run);
  EXPECT_FALSE(PrepareCluster(&alone, &error, &warning)) << "--node-id without --cluster";
  char path[] = "/tmp/velmo-token-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "s3cret\n", 7), 7);
  close(fd);
  const char* full[] = {"velmo", "--cluster", "redis://127.0.0.1:6379", "--cluster-token-file", path,
                        "--device-port", "9100", "--admin-port", "9102"};
  AppOptions ok;
  ASSERT_EQ(ParseCommandLine(9, full, &ok, &error), ParseResult::Run);
  EXPECT_TRUE(PrepareCluster(&ok, &error, &warning)) << error;
  EXPECT_EQ(ok.cluster.token, "s3cret");
  EXPECT_EQ(ok.cluster.advertise, "127.0.0.1:9102");
  EXPECT_EQ(ok.cluster.nodeId.substr(ok.cluster.nodeId.size() - 5), ":9100");
  const char* off[] = {"velmo", "--cluster", "redis://127.0.0.1:6379", "--cluster-token-file", path,
                       "--admin-port", "off"};
  AppOptions noAdmin;
  ASSERT_EQ(ParseCommandLine(7, off, &noAdmin, &error), ParseResult::Run);
  EXPECT_FALSE(PrepareCluster(&noAdmin, &error, &warning)) << "the nodes meet on the management port";
  unlink(path);
}

TEST(ClusterOptions, SnHex) {
  const std::string sn("\xD6\xD0\x00z/?", 6);
  EXPECT_EQ(CClusterForwarder::Hex(sn), "d6d0007a2f3f");
  std::string back;
  EXPECT_TRUE(CClusterForwarder::Unhex("d6D0007a2f3f", &back));
  EXPECT_EQ(back, sn);
  for (const char* bad : {"abc", "zz", "0g"}) EXPECT_FALSE(CClusterForwarder::Unhex(bad, &back)) << bad;
}

TEST_F(ClusterTest, CommandsAndQueriesThroughANodeThatDoesNotHoldTheDevice) {
  Node& a = StartNode("A");
  Node& b = StartNode("B");
  Node& c = StartNode("C");
  const std::string sn = "CL-CMD-1";
  auto device = Device(b, sn);

  // The holder's own answer, then the same request through A: the same bytes,
  // and the device gets each text once.
  auto local = std::async(std::launch::async, [&] { return ApiExchange(b.api, "/api/cmd", sn, "led on"); });
  EXPECT_EQ(NextText(*device, sn), "-37led on\n");
  auto remote = std::async(std::launch::async, [&] { return ApiExchange(a.api, "/api/cmd", sn, "led \xD6\xD0"); });
  EXPECT_EQ(NextText(*device, sn), "-37led \xD6\xD0\n");  // GBK as it came, not converted again
  const std::string expected = HttpServer::FormatReply(CommandAnswer(1));
  EXPECT_EQ(local.get(), expected);
  EXPECT_EQ(remote.get(), expected);
  device->Send(Frame("-36" + sn));
  EXPECT_FALSE(device->ReadFrame(300ms).rfind("-37led", 0) == 0) << "a text was delivered twice";

  // A status query through C: the device's record as the holder formats it.
  auto status = std::async(std::launch::async, [&] { return ApiExchange(c.api, "/api/status", sn, ""); });
  EXPECT_EQ(NextText(*device, sn), "-37query dev_infos\n");
  std::string field = sn;
  field.resize(24, '\0');  // a record names its device in 24 bytes
  const std::string record = EncodeDeviceInfo(SampleDeviceInfo());
  device->Send(Frame("-58" + field + record));
  QueryAnswer answer;
  std::copy(record.begin(), record.end(), answer.record.begin());
  answer.length = record.size();
  answer.taken = answer.answered = true;
  EXPECT_EQ(status.get(), HttpServer::FormatReply(StatusAnswer(answer)));
  // The log of the node that answered shows the request as for its own device.
  EXPECT_TRUE(WaitUntil([&] { return c.process->Count("Http Recv:sn  = " + sn + ",result:{ \"device_online_status\": 1"); }));

  // The management routes for one device: the holder's answer, through A.
  Reply there = Get(b, "/v1/devices/" + sn);
  Reply here = Get(a, "/v1/devices/" + sn);
  EXPECT_EQ(here.status, 200u);
  EXPECT_EQ(here.body, there.body);
  auto command = std::async(std::launch::async, [&] {
    return Request(a.admin, http::verb::post, "/v1/devices/" + sn + "/commands", {"X-Velmo-Request: 1"}, "beep");
  });
  EXPECT_EQ(NextText(*device, sn), "-37beep\n");
  EXPECT_EQ(command.get().body, R"({"status":"taken"})");
}

TEST_F(ClusterTest, RelaysFromADeviceOnOneNodeToADeviceOnAnother) {
  Node& a = StartNode("A");
  Node& b = StartNode("B");
  const std::string sn = "CL-RELAY-TARGET-00000001";  // 24 bytes: the relays' SN field
  auto target = Device(b, sn);
  FakeDevice requester;
  ASSERT_TRUE(requester.Connect(a.devices));

  requester.Send(Frame("-46" + sn + "open \xE4\xB8\xAD"));  // UTF-8: the requester's node converts it
  EXPECT_EQ(NextText(*target, sn), "-37open \xD6\xD0\n");
  EXPECT_EQ(requester.ReadFrame(), "-470000000000");

  requester.Send(Frame("-56" + sn + "query dev_infos"));
  EXPECT_EQ(NextText(*target, sn), "-37query dev_infos");  // a relayed query: no line feed
  target->Send(Frame("-58" + sn + EncodeDeviceInfo(SampleDeviceInfo())));
  EXPECT_EQ(requester.ReadFrame(), "-570000000000" + FormatQueryJson(SampleDeviceInfo()));

  FakeDevice poster;
  ASSERT_TRUE(poster.Connect(a.devices));
  const std::string body = "shut";
  poster.Send("POST /SN?" + sn + " HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(body.size()) +
              "\r\n\r\n" + body);
  EXPECT_EQ(NextText(*target, sn), "-37shut\n");
  const std::string response = poster.ReceiveUntil("\"1\"}\r\n");
  EXPECT_NE(response.find("{\"device_online_status\":\"1\"}"), std::string::npos) << response;
}

TEST_F(ClusterTest, AnSnHeldNowhereIsOffline) {
  Node& a = StartNode("A");
  StartNode("B");
  EXPECT_EQ(ApiExchange(a.api, "/api/cmd", "NOBODY", "x"), HttpServer::FormatReply(CommandAnswer(0)));
  EXPECT_EQ(ApiExchange(a.api, "/api/status", "NOBODY", ""), HttpServer::FormatReply(StatusAnswer(QueryAnswer{})));
  FakeDevice requester;
  ASSERT_TRUE(requester.Connect(a.devices));
  requester.Send(Frame("-46NOBODY-00000000000000000x"));
  EXPECT_EQ(requester.ReadFrame(), "-470000000002");
  requester.Send(Frame("-56NOBODY-00000000000000000q"));
  EXPECT_EQ(requester.ReadFrame(), "-570000000002");
  EXPECT_EQ(Get(a, "/v1/devices/NOBODY").status, 404u);
  EXPECT_EQ(Request(a.admin, http::verb::post, "/v1/devices/NOBODY/commands", {"X-Velmo-Request: 1"}, "x").body,
            R"({"status":"offline"})");
}

TEST_F(ClusterTest, RoutesBetweenNodesNeedTheTokenAndNeverForwardAgain) {
  Node& a = StartNode("A");
  Node& b = StartNode("B");
  const std::string sn = "CL-TOKEN-1";
  auto device = Device(b, sn);
  const std::string hex = CClusterForwarder::Hex(sn);
  auto post = [&](const Node& n, const std::vector<std::string>& headers) {
    return Request(n.admin, http::verb::post, "/v1/cluster/command?sn=" + hex + "&wait_ms=0", headers, "x");
  };
  EXPECT_EQ(post(b, {"X-Velmo-Request: 1"}).status, 403u);
  EXPECT_EQ(post(b, {"X-Velmo-Request: 1", "X-Velmo-Cluster-Token: wrong"}).status, 403u);
  EXPECT_EQ(post(b, {"X-Velmo-Cluster-Token: " + Token()}).body, "queued");  // held there, not heartbeating
  // Carried once: A does not pass a request from another node on to B.
  EXPECT_EQ(post(a, {"X-Velmo-Cluster-Token: " + Token()}).body, "offline");
  EXPECT_EQ(Get(a, "/v1/devices/" + sn, {"X-Velmo-Cluster-Token: " + Token()}).status, 404u);
  EXPECT_EQ(Request(b.admin, http::verb::post, "/v1/cluster/command?sn=zz", {"X-Velmo-Cluster-Token: " + Token()}, "")
                .status,
            400u);
}

TEST_F(ClusterTest, TheFleetsListAndStatistics) {
  Node& a = StartNode("A");
  Node& b = StartNode("B");
  auto a1 = Device(a, "CL-LIST-a1");
  auto c3 = Device(a, "CL-LIST-c3");
  auto b2 = Device(b, "CL-LIST-b2");
  auto d4 = Device(b, "CL-LIST-d4");
  json page = Get(a, "/v1/devices?scope=cluster&prefix=CL-LIST-&offset=1&limit=2").Json();
  EXPECT_EQ(page["total"], 4);
  ASSERT_EQ(page["devices"].size(), 2u) << page.dump();
  EXPECT_EQ(page["devices"][0]["sn"], "CL-LIST-b2");
  EXPECT_EQ(page["devices"][0]["node"], "B");
  EXPECT_EQ(page["devices"][1]["sn"], "CL-LIST-c3");
  EXPECT_EQ(page["devices"][1]["node"], "A");
  // Without the scope: this node's own, as before.
  EXPECT_EQ(Get(b, "/v1/devices?prefix=CL-LIST-").Json()["total"], 2);
  json stats = Get(b, "/v1/stats?scope=cluster").Json();
  EXPECT_EQ(stats["devices"], 4);
  ASSERT_EQ(stats["nodes"].size(), 2u);
  EXPECT_EQ(stats["nodes"][0]["node"], "B");
  EXPECT_EQ(stats["nodes"][0]["devices"], 2);
  EXPECT_EQ(stats["nodes"][1]["node"], "A");
  EXPECT_EQ(stats["totals"]["connections"].get<int>(),
            stats["nodes"][0]["totals"]["connections"].get<int>() + stats["nodes"][1]["totals"]["connections"].get<int>());
  EXPECT_GE(stats["totals"]["connections"].get<int>(), 4);
  json cluster = Get(a, "/v1/cluster").Json();
  EXPECT_EQ(cluster["node"], "A");
  EXPECT_EQ(cluster["nodes"].size(), 2u);
}

TEST_F(ClusterTest, ADeviceWhoseNodeIsKilledIsReachedOnItsNewNode) {
  Node& a = StartNode("A");
  Node& b = StartNode("B");
  Node& c = StartNode("C");
  const std::string sn = "CL-MOVE-1";
  ChildProcess& device =
      Devsim({"--server", "127.0.0.1:" + std::to_string(b.devices) + ",127.0.0.1:" + std::to_string(a.devices),
              "--reconnect", "--sn", sn, "--heartbeat", "0.5"});
  ASSERT_TRUE(WaitUntil([&] { return RegistryHolder(sn) == "B"; }, 5000ms)) << device.Output();
  ASSERT_EQ(ApiExchange(c.api, "/api/cmd", sn, "before"), HttpServer::FormatReply(CommandAnswer(1)));

  b.process->Stop(SIGKILL);
  const auto killed = std::chrono::steady_clock::now();
  // Through the third node: offline while the device is between nodes, then
  // taken once it has registered on A.
  bool reached = false;
  while (!reached && std::chrono::steady_clock::now() - killed < 20s) {
    reached = ApiExchange(c.api, "/api/cmd", sn, "after") == HttpServer::FormatReply(CommandAnswer(1));
    if (!reached) std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(reached) << device.Output();
  EXPECT_EQ(RegistryHolder(sn), "A");
  EXPECT_TRUE(WaitUntil([&] { return device.Count(sn + ": after") >= 1; }));
  EXPECT_EQ(device.Count(sn + ": before"), 1u);
}

TEST_F(ClusterTest, ALostRegistryLeavesEachNodeItsOwnDevices) {
  Node& a = StartNode("A");
  Node& b = StartNode("B");
  auto mine = Device(a, "CL-REDIS-a");
  auto theirs = Device(b, "CL-REDIS-b");
  auto send = [&](const std::string& sn, const std::string& text, FakeDevice& d) {
    auto reply = std::async(std::launch::async, [&] { return ApiExchange(a.api, "/api/cmd", sn, text); });
    NextText(d, sn, 1500ms);
    return reply.get();
  };
  const std::string taken = HttpServer::FormatReply(CommandAnswer(1));
  const std::string offline = HttpServer::FormatReply(CommandAnswer(0));
  ASSERT_EQ(send("CL-REDIS-b", "one", *theirs), taken);

  StopRedis();
  ASSERT_TRUE(WaitUntil([&] { return a.process->Count("Cluster registry lost") == 1; }, 5000ms)) << a.Log();
  EXPECT_EQ(send("CL-REDIS-a", "local", *mine), taken);
  EXPECT_EQ(send("CL-REDIS-b", "two", *theirs), offline);
  EXPECT_EQ(send("CL-REDIS-a", "local again", *mine), taken);

  StartRedis();  // empty: no persistence
  ASSERT_TRUE(WaitUntil([&] { return b.process->Count("Cluster registry back") == 1; }, 5000ms)) << b.Log();
  // Each node writes its devices again.
  EXPECT_TRUE(WaitUntil([&] { return RegistryHolder("CL-REDIS-b") == "B" && RegistryHolder("CL-REDIS-a") == "A"; },
                        5000ms));
  EXPECT_EQ(send("CL-REDIS-b", "three", *theirs), taken);
  EXPECT_EQ(a.process->Count("Cluster registry lost"), 1u);
  EXPECT_EQ(a.process->Count("Cluster registry back"), 1u);
}

TEST_F(ClusterTest, AnEntryGoesWithItsDeviceUnlessAnotherNodeHasTakenItOver) {
  Node& a = StartNode("A");
  Node& b = StartNode("B");
  const std::string sn = "CL-OWN-1";
  auto first = Device(a, sn);
  auto second = Device(b, sn);  // the most recent registration owns the SN
  EXPECT_EQ(RegistryHolder(sn), "B");
  first->Close();
  ASSERT_TRUE(WaitUntil([&] { return Get(a, "/v1/devices?prefix=" + sn).Json()["total"] == 0; }));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(RegistryHolder(sn), "B") << "A removed an entry that names B";
  second->Close();
  EXPECT_TRUE(WaitUntil([&] { return RegistryHolder(sn).empty(); }, 3000ms));
}

TEST_F(ClusterTest, AConnectionThatChangesItsSnGivesUpTheOldEntry) {
  Node& a = StartNode("A");
  auto device = Device(a, "CL-RENAME-old");
  device->Send(Frame("-36CL-RENAME-new"));
  EXPECT_TRUE(WaitUntil([&] { return RegistryHolder("CL-RENAME-new") == "A"; }, 3000ms));
  EXPECT_TRUE(WaitUntil([&] { return RegistryHolder("CL-RENAME-old").empty(); }, 3000ms));
}

TEST_F(ClusterTest, ARegistrationMadeWhileRedisWasAwayWinsWhenItIsBack) {
  StopRedis();
  StartRedis({"--appendonly", "yes", "--appendfsync", "always"});  // its data outlives a restart
  Node& a = StartNode("A");
  Node& b = StartNode("B");
  const std::string sn = "CL-REPLAY-1";
  auto old = Device(a, sn);  // A keeps this connection: it goes on extending its entry
  ASSERT_EQ(RegistryHolder(sn), "A");
  redis_->Stop(SIGTERM);     // saved: the entry naming A comes back with it
  ASSERT_TRUE(WaitUntil([&] { return b.process->Count("Cluster registry lost") == 1; }, 5000ms));
  FakeDevice moved;
  ASSERT_TRUE(moved.Connect(b.devices));
  moved.Send(Frame("-36" + sn));  // the device, now on B, registers while B cannot write it
  ASSERT_FALSE(moved.ReadFrame().empty());
  StartRedis({"--appendonly", "yes", "--appendfsync", "always"});
  ASSERT_TRUE(WaitUntil([&] { return b.process->Count("Cluster registry back") == 1; }, 5000ms));
  EXPECT_TRUE(WaitUntil([&] { return RegistryHolder(sn) == "B"; }, 3000ms)) << "B's registration was lost";
  // A's next refreshes leave it alone.
  EXPECT_TRUE(WaitUntil([&] { return a.process->Count("Cluster registry back") == 1; }, 5000ms));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(RegistryHolder(sn), "B");
}

TEST_F(ClusterTest, ARedisThatRefusesCommandsIsLostNotUp) {
  StopRedis();
  StartRedis({"--appendonly", "no", "--requirepass", "not-given"});
  Node& a = StartNode("A", {}, false);
  EXPECT_TRUE(WaitUntil([&] { return a.process->Count("Cluster registry lost: NOAUTH") == 1; }, 5000ms)) << a.Log();
  EXPECT_EQ(Get(a, "/v1/cluster").Json()["registry"], "down");
  EXPECT_NE(Get(a, "/metrics").body.find("\nvelmo_cluster_registry_up 0\n"), std::string::npos);
  EXPECT_EQ(ApiExchange(a.api, "/api/cmd", "ANYONE", "x"), HttpServer::FormatReply(CommandAnswer(0)));
}

// A node whose management port cannot be reached, or takes connections and
// closes them unread: requests for its devices answer offline, not queued.
TEST_F(ClusterTest, AHoldingNodeThatCannotBeReachedIsOffline) {
  // Takes each connection and closes it at once.
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor closer(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
  const std::uint16_t closerPort = closer.local_endpoint().port();
  std::atomic<bool> stop{false};
  std::thread closing([&] {
    while (!stop) {
      boost::system::error_code ec;
      closer.non_blocking(true);
      boost::asio::ip::tcp::socket s = closer.accept(ec);
      if (!ec) s.close();
      std::this_thread::sleep_for(2ms);
    }
  });
  Node& a = StartNode("A");
  Node& b = StartNode("B", {"--advertise", "127.0.0.1:" + std::to_string(closerPort)});
  const std::string nowhere = "127.0.0.1:" + std::to_string(FreePort());
  Node& c = StartNode("C", {"--advertise", nowhere});
  auto onB = Device(b, "CL-GONE-B");
  auto onC = Device(c, "CL-GONE-C");
  const std::string offline = HttpServer::FormatReply(CommandAnswer(0));
  EXPECT_EQ(ApiExchange(a.api, "/api/cmd", "CL-GONE-B", "x"), offline);
  EXPECT_EQ(ApiExchange(a.api, "/api/cmd", "CL-GONE-C", "x"), offline);
  FakeDevice requester;
  ASSERT_TRUE(requester.Connect(a.devices));
  requester.Send(Frame("-46CL-GONE-B" + std::string(13, '\0') + "x"));
  EXPECT_EQ(requester.ReadFrame(), "-470000000002");
  EXPECT_EQ(Request(a.admin, http::verb::post, "/v1/devices/CL-GONE-C/commands", {"X-Velmo-Request: 1"}, "x").status,
            404u);
  // Said in the log, once however many requests failed.
  EXPECT_TRUE(WaitUntil([&] {
    return a.process->Count("Cluster node 127.0.0.1:" + std::to_string(closerPort) + " cannot be reached") == 1;
  }));
  EXPECT_EQ(a.process->Count("Cluster node " + nowhere + " cannot be reached"), 1u);
  stop = true;
  closing.join();
}

}  // namespace
}  // namespace velmo::test
