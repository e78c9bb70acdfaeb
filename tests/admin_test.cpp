// The management port over real sockets: its access rules, statistics, the
// device list, one device's commands, information and close, the window's
// buttons and the log's tail; next to the designed API, which stays as it is.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <future>

#include "admin/AdminRoutes.h"
#include "admin/AdminAccess.h"
#include "admin/AdminServer.h"
#include "platform/TextCodec.h"
#include "protocol/DeviceInfoRecord.h"
#include "socketserver/DeviceEvents.h"
#include "tests/AdminFixture.h"

namespace velmo::test {
namespace {

std::string StreamText(CAdminStream& s) { return s.Take(); }

TEST(AdminAccess, Rules) {
  const AdminAccess open{}, locked{"s3cret", ""}, fleet{"s3cret", "fleet-secret"};
  struct Case {
    const char* name;
    const AdminAccess& access;
    AccessRequest request;
    unsigned refused;  // 0: allowed
  } cases[] = {
      {"loopback read", open, {"127.0.0.1:8004", "", "", false, false, ""}, 0},
      {"localhost", open, {"LOCALHOST", "", "", false, false, ""}, 0},
      {"v6 loopback", open, {"[::1]:8004", "", "", false, false, ""}, 0},
      {"rebound name", open, {"evil.example:8004", "", "", false, false, ""}, 403},
      {"no host", open, {"", "", "", false, false, ""}, 403},
      {"a name ending in localhost", open, {"notlocalhost", "", "", false, false, ""}, 403},
      {"change without header", open, {"127.0.0.1", "", "", true, false, ""}, 403},
      {"change with header", open, {"127.0.0.1", "", "1", true, false, ""}, 0},
      {"token missing", locked, {"127.0.0.1", "", "1", false, false, ""}, 401},
      {"token wrong", locked, {"127.0.0.1", "Bearer s3cret!", "", false, false, ""}, 401},
      {"token prefix", locked, {"127.0.0.1", "Bearer s3cre", "", false, false, ""}, 401},
      {"token right, any host, no header", locked, {"evil.example", "Bearer s3cret", "", true, false, ""}, 0},
      {"console files need no token", locked, {"evil.example", "", "", false, true, ""}, 0},
      {"another node, with the cluster token", fleet, {"10.0.0.12:8004", "", "", true, false, "fleet-secret"}, 0},
      {"cluster token wrong", fleet, {"10.0.0.12:8004", "", "", true, false, "fleet-secreT"}, 401},
      {"cluster token when none is set", locked, {"127.0.0.1", "", "1", true, false, ""}, 401},
      {"cluster token on a lone node", open, {"evil.example", "", "", false, false, "anything"}, 403},
  };
  for (const auto& c : cases) {
    auto refusal = CheckAccess(c.access, c.request);
    EXPECT_EQ(refusal ? refusal->status : 0u, c.refused) << c.name;
  }
  EXPECT_EQ(CheckAccess(locked, {"127.0.0.1", "", "", false, false, ""})->body, R"({"error":"unauthorized"})");
  for (const char* a : {"127.0.0.1", "127.8.9.10", "::1", "localhost"}) EXPECT_TRUE(IsLoopbackAddress(a)) << a;
  for (const char* a : {"0.0.0.0", "10.0.0.1", "::", "example.org", ""}) EXPECT_FALSE(IsLoopbackAddress(a)) << a;
}

TEST(AdminServer, PatternsAndPercentDecoding) {
  std::vector<std::string> params;
  EXPECT_TRUE(CAdminServer::MatchPattern("/v1/devices/{}/info", "/v1/devices/A%20B/info", &params));
  EXPECT_EQ(params, std::vector<std::string>{"A B"});
  EXPECT_FALSE(CAdminServer::MatchPattern("/v1/devices/{}", "/v1/devices/", &params));
  EXPECT_FALSE(CAdminServer::MatchPattern("/v1/devices/{}", "/v1/devices/a/b", &params));
  EXPECT_FALSE(CAdminServer::MatchPattern("/v1/devices/{}", "/v1/devices/%zz", &params));
  std::string out;
  EXPECT_FALSE(CAdminServer::PercentDecode("%4", &out));
  EXPECT_TRUE(CAdminServer::PercentDecode("%E8%AE%BE+x", &out, true));
  EXPECT_EQ(out, "\xE8\xAE\xBE x");
}

TEST(AdminStream, ASlowClientsEventsAreDroppedAndCounted) {
  boost::asio::io_context io;  // never run: the client takes nothing
  CAdminStream stream(std::make_shared<platform::CExecutorGate>(io));
  for (std::size_t i = 0; i < CAdminStream::kMaxQueued + 5; ++i) stream.Push("log", std::to_string(i));
  std::string taken = StreamText(stream);
  EXPECT_EQ(taken.rfind("event: dropped\ndata: {\"dropped\":5}\n\nevent: log\ndata: 0\n\n", 0), 0u);
  EXPECT_NE(taken.find("data: 999\n\n"), std::string::npos);
  EXPECT_EQ(taken.find("data: 1000\n"), std::string::npos);
  stream.Push("log", "after");
  EXPECT_EQ(StreamText(stream), "event: log\ndata: after\n\n");  // caught up: nothing more dropped
}

TEST(AdminRoutes, IsoTimeHasTheLocalOffset) {
  setenv("TZ", "Asia/Shanghai", 1);
  tzset();
  EXPECT_EQ(IsoTime(0), "1970-01-01T08:00:00+08:00");
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(IsoTime(86'400'000 + 1500), "1970-01-02T00:00:01+00:00");
}

TEST_F(AdminTest, RefusalsOverTheWire) {
  Init();
  Reply wrongHost = Request(admin_, http::verb::get, "/v1/stats", {"Host: velmo.example.com"});
  EXPECT_EQ(wrongHost.status, 403u);
  EXPECT_EQ(wrongHost.Json()["error"], "forbidden host");
  EXPECT_EQ(Request(admin_, http::verb::post, "/v1/server/close-all").status, 403u);  // no X-Velmo-Request
  EXPECT_EQ(Get("/v1/nothing").status, 404u);
  EXPECT_EQ(Get("/v1/nothing").Json()["error"], "not found");
  EXPECT_EQ(Request(admin_, http::verb::put, "/v1/stats", {"X-Velmo-Request: 1"}).status, 405u);
  Reply stats = Get("/v1/stats");
  EXPECT_EQ(stats.status, 200u);
  EXPECT_EQ(stats.contentType, "application/json");
}

TEST_F(AdminTest, AHeadAnswersWithTheHeadOnly) {
  Init();
  const std::size_t cssLength = Get("/console.css").body.size();
  ASSERT_GT(cssLength, 0u);
  FakeDevice client;
  ASSERT_TRUE(client.Connect(admin_));
  // Pipelined on one connection: the HEAD's answer must end where its head ends.
  ASSERT_TRUE(client.Send("HEAD /console.css HTTP/1.1\r\nHost: localhost\r\n\r\n"
                          "HEAD /v1/events HTTP/1.1\r\nHost: localhost\r\n\r\n"));
  std::string first = client.ReceiveUntil("\r\n\r\n");
  EXPECT_EQ(first.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << first;
  EXPECT_NE(first.find("Content-Length: " + std::to_string(cssLength) + "\r\n"), std::string::npos) << first;
  std::string second = client.ReceiveUntil("\r\n\r\n");
  EXPECT_EQ(second.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << second;
  EXPECT_NE(second.find("Content-Type: text/event-stream\r\n"), std::string::npos) << second;
  EXPECT_TRUE(client.WaitClosed());  // no stream follows a HEAD
  EXPECT_EQ(Get("/favicon.ico").status, 204u);
}

TEST_F(AdminTest, ATokenIsAskedForAndTheHostIsThenFree) {
  Init("s3cret");
  Reply none = Request(admin_, http::verb::get, "/v1/stats");
  EXPECT_EQ(none.status, 401u);
  EXPECT_EQ(none.body, R"({"error":"unauthorized"})");
  EXPECT_EQ(Request(admin_, http::verb::get, "/v1/stats", {"Authorization: Bearer wrong"}).status, 401u);
  EXPECT_EQ(
      Request(admin_, http::verb::get, "/v1/stats", {"Authorization: Bearer s3cret", "Host: velmo.example"}).status,
      200u);
}

TEST_F(AdminTest, StatsAndTheDeviceList) {
  Init();
  FakeDevice client, b, a1, a2;
  ASSERT_TRUE(client.Connect(devices_));
  Register(b, "B-1");
  Register(a1, "A-1");
  Register(a2, "A-1");  // the same SN again, later
  json stats = Get("/v1/stats").Json();
  EXPECT_EQ(stats["clients"], 1);
  EXPECT_EQ(stats["devices"], 3);
  EXPECT_EQ(stats["listening"], true);
  // This program's own counters: the four connections (each accepted before
  // the next registered device got its clock), one heartbeat each to register.
  EXPECT_EQ(stats["totals"]["connections"], 4);
  EXPECT_EQ(stats["totals"]["heartbeats"], 3);
  EXPECT_EQ(stats["totals"]["disconnections"], 0);
  EXPECT_TRUE(stats["started_at"].is_string());

  json all = Get("/v1/devices").Json();
  ASSERT_EQ(all["total"], 3);
  ASSERT_EQ(all["devices"].size(), 3u);
  EXPECT_EQ(all["devices"][0]["sn"], "A-1");
  EXPECT_EQ(all["devices"][1]["sn"], "A-1");
  EXPECT_EQ(all["devices"][2]["sn"], "B-1");
  EXPECT_EQ(all["devices"][0]["port"], a1.LocalPort());  // oldest first within one SN
  EXPECT_EQ(all["devices"][1]["port"], a2.LocalPort());
  EXPECT_EQ(all["devices"][0]["ip"], "127.0.0.1");
  EXPECT_TRUE(all["devices"][0]["registered_at"].is_string());
  EXPECT_EQ(all["devices"][0]["queued_bytes"], 0);

  struct Case {
    std::string query;
    unsigned status;
    int total, offset, shown;
  } cases[] = {
      {"?prefix=A", 200, 2, 0, 2}, {"?prefix=B-", 200, 1, 0, 1}, {"?prefix=C", 200, 0, 0, 0},
      {"?offset=1&limit=1", 200, 3, 1, 1}, {"?offset=9", 200, 3, 9, 0}, {"?limit=0", 200, 3, 0, 1},
      {"?limit=5000", 200, 3, 0, 3}, {"?limit=ten", 400, 0, 0, 0}, {"?offset=-1", 400, 0, 0, 0},
  };
  // Pages of one put together are the whole list, in the same order.
  json pages = json::array();
  for (int offset = 0; offset < 3; ++offset) {
    const json page = Get("/v1/devices?limit=1&offset=" + std::to_string(offset)).Json();
    for (const auto& d : page["devices"]) pages.push_back(d);
  }
  EXPECT_EQ(pages, all["devices"]);

  for (const auto& c : cases) {
    Reply r = Get("/v1/devices" + c.query);
    ASSERT_EQ(r.status, c.status) << c.query;
    if (c.status != 200) continue;
    json j = r.Json();
    EXPECT_EQ(j["total"], c.total) << c.query;
    EXPECT_EQ(j["offset"], c.offset) << c.query;
    EXPECT_EQ(j["devices"].size(), static_cast<std::size_t>(c.shown)) << c.query;
  }
}

TEST_F(AdminTest, OneDeviceByItsSnAsTheJsonShowsIt) {
  Init();
  FakeDevice d, odd;
  Register(d, Utf8ToGbkText("设备-7"));
  Register(odd, "X\xff");  // not GBK
  json one = Get("/v1/devices/%E8%AE%BE%E5%A4%87-7").Json();
  EXPECT_EQ(one["sn"], "设备-7");
  EXPECT_EQ(one["port"], d.LocalPort());
  json list = Get("/v1/devices?prefix=X").Json();
  ASSERT_EQ(list["devices"].size(), 1u);
  EXPECT_EQ(list["devices"][0]["sn"], "X\xEF\xBF\xBD");  // U+FFFD
  EXPECT_EQ(Get("/v1/devices/X%EF%BF%BD").Json()["port"], odd.LocalPort());  // found as the JSON shows it
  Reply missing = Get("/v1/devices/nobody");
  EXPECT_EQ(missing.status, 404u);
  EXPECT_EQ(missing.Json()["error"], "no such device");
}

TEST_F(AdminTest, CommandsAreTakenQueuedOrOffline) {
  Init();
  FakeDevice d;
  Register(d, "DEV-1");
  auto command = [&](const std::string& sn, const std::string& text) {
    return std::async(std::launch::async, [=, this] {
      return Change(http::verb::post, "/v1/devices/" + sn + "/commands", text);
    });
  };
  auto taken = command("DEV-1", "led on");
  ASSERT_TRUE(WaitUntil([&] { return Get("/v1/devices/DEV-1").Json()["queued_bytes"] == 7; }));
  ASSERT_TRUE(d.Send(Frame("-36DEV-1")));  // the heartbeat takes it
  EXPECT_EQ(d.ReadFrame(), "-37led on\n");
  Reply t = taken.get();
  EXPECT_EQ(t.status, 200u);
  EXPECT_EQ(t.body, R"({"status":"taken"})");

  Reply queued = command("DEV-1", "温度").get();  // no heartbeat within the wait
  EXPECT_EQ(queued.status, 202u);
  EXPECT_EQ(queued.body, R"({"status":"queued"})");
  ASSERT_TRUE(d.Send(Frame("-36DEV-1")));  // still queued, in GBK, for the next heartbeat
  EXPECT_EQ(d.ReadFrame(), "-37" + Utf8ToGbkText("温度") + "\n");

  Reply offline = command("NOBODY", "x").get();
  EXPECT_EQ(offline.status, 404u);
  EXPECT_EQ(offline.body, R"({"status":"offline"})");
  EXPECT_EQ(command("DEV-1", std::string(259, 'x')).get().status, 413u);
  EXPECT_EQ(command("DEV-1", std::string(258, 'x')).get().status, 202u);  // the longest text /api/cmd takes

  json totals = Get("/v1/stats").Json()["totals"];  // this program's own: every command above
  EXPECT_EQ(totals["commands_taken"], 1);
  EXPECT_EQ(totals["commands_queued"], 2);
  EXPECT_EQ(totals["commands_offline"], 1);
}

TEST_F(AdminTest, InformationRound) {
  Init();
  FakeDevice d, silent;
  Register(d, "DEV-2");
  Register(silent, "DEV-3");
  auto info = std::async(std::launch::async, [&] { return Get("/v1/devices/DEV-2/info"); });
  ASSERT_TRUE(WaitUntil([&] { return Get("/v1/devices/DEV-2").Json()["queued_bytes"] == 16; }));
  ASSERT_TRUE(d.Send(Frame("-36DEV-2")));
  EXPECT_EQ(d.ReadFrame(), "-37query dev_infos\n");
  ASSERT_TRUE(d.Send(Frame("-58DEV-2" + std::string(24 - 5, '\0') + EncodeDeviceInfo(SampleDeviceInfo()))));
  Reply r = info.get();
  ASSERT_EQ(r.status, 200u) << r.body;
  EXPECT_EQ(r.Json(), json({{"version", "01.02.03"}, {"ip", "192.168.1.20"}, {"mac", "12:AB:0C:00:FF:1FF"},
                            {"runtime", "2024-01-02 03:04:05"}}));
  Reply none = Get("/v1/devices/DEV-3/info");  // never heartbeats
  EXPECT_EQ(none.status, 504u);
  EXPECT_EQ(none.Json()["error"], "no answer");
  EXPECT_EQ(Get("/v1/devices/NOBODY/info").status, 404u);
}

TEST_F(AdminTest, ClosingOneDeviceTheButtonsAndTheLogTail) {
  Init();
  FakeDevice d, other;
  Register(d, "DEV-4");
  Register(other, "DEV-5");
  const std::string socket = std::to_string(Get("/v1/devices/DEV-4").Json()["socket"].get<int>());
  EXPECT_EQ(Change(http::verb::delete_, "/v1/devices/DEV-4").status, 204u);
  EXPECT_TRUE(d.WaitClosed());
  ASSERT_TRUE(lines_.WaitCount("OnOperatorClose-" + socket + ", SN=DEV-4", 1));
  EXPECT_EQ(Change(http::verb::delete_, "/v1/devices/DEV-4").status, 404u);
  EXPECT_EQ(lines_.Count("OnSocketDisconnect"), 0u);  // closed as the close-all button closes
  EXPECT_EQ(Get("/v1/stats").Json()["devices"], 1);

  EXPECT_EQ(Change(http::verb::delete_, "/v1/server/listen").status, 204u);
  EXPECT_EQ(Get("/v1/stats").Json()["listening"], false);
  EXPECT_EQ(Change(http::verb::post, "/v1/server/listen").status, 204u);
  EXPECT_EQ(Get("/v1/stats").Json()["listening"], true);
  EXPECT_EQ(Change(http::verb::post, "/v1/transfers/cancel").status, 204u);
  EXPECT_EQ(Change(http::verb::post, "/v1/server/close-all").status, 204u);
  EXPECT_TRUE(other.WaitClosed());
  ASSERT_TRUE(lines_.WaitCount(Utf8ToGbkText("关闭了所有的连接"), 1));
  EXPECT_EQ(Get("/v1/stats").Json()["totals"]["disconnections"], 2);  // this program's own

  json tail = Get("/v1/log?lines=2").Json();
  ASSERT_EQ(tail.size(), 2u);
  EXPECT_NE(tail[1].get<std::string>().find("关闭了所有的连接"), std::string::npos);
  EXPECT_EQ(tail[1].get<std::string>().substr(4, 1), "-");  // with its time stamp
  EXPECT_EQ(Get("/v1/log?lines=many").status, 400u);
  EXPECT_GE(Get("/v1/log?lines=100000").Json().size(), 5u);
}

TEST_F(AdminTest, MetricsInThePrometheusFormat) {
  Init();
  FakeDevice d;
  Register(d, "DEV-6");
  auto taken = std::async(std::launch::async, [&] {
    return Change(http::verb::post, "/v1/devices/DEV-6/commands", "led on");
  });
  ASSERT_TRUE(WaitUntil([&] { return Get("/v1/devices/DEV-6").Json()["queued_bytes"] == 7; }));
  ASSERT_TRUE(d.Send(Frame("-36DEV-6")));
  ASSERT_EQ(taken.get().status, 200u);
  Reply m = Get("/metrics");
  ASSERT_EQ(m.status, 200u);
  EXPECT_EQ(m.contentType, "text/plain; version=0.0.4; charset=utf-8");
  for (const char* line : {"# TYPE velmo_devices gauge\nvelmo_devices 1\n",
                           "# TYPE velmo_command_wait_seconds histogram\n",
                           "velmo_command_wait_seconds_bucket{le=\"+Inf\"} ",
                           "velmo_http_requests_total{port=\"admin\",route=\"/v1/devices/{}/commands\"} ",
                           "velmo_disconnections_total{reason=\"operator\"} ", "\nprocess_resident_memory_bytes ",
                           "\nprocess_open_fds "}) {
    EXPECT_NE(m.body.find(line), std::string::npos) << line;
  }
  auto value = [&](const std::string& sample) { return MetricValue(m.body, sample); };
  EXPECT_EQ(value("velmo_commands_total{result=\"taken\"}"), 1);  // this server's own counters: exact
  EXPECT_EQ(value("velmo_command_wait_seconds_count"), 1);
  EXPECT_EQ(value("velmo_command_wait_seconds_count"), value("velmo_command_wait_seconds_bucket{le=\"+Inf\"}"));
  EXPECT_GT(value("process_resident_memory_bytes"), 1e6);

  // promtool, where installed (the test script installs it), finds nothing to complain about.
  if (std::system("command -v promtool >/dev/null 2>&1") != 0) GTEST_SKIP() << "promtool is not installed";
  const std::string file = "/tmp/velmo-metrics-" + std::to_string(getpid());
  std::ofstream(file) << m.body;
  const std::string command = "promtool check metrics < " + file + " > " + file + ".out 2>&1";
  const int rc = std::system(command.c_str());
  std::ifstream report(file + ".out");
  std::string said((std::istreambuf_iterator<char>(report)), std::istreambuf_iterator<char>());
  EXPECT_EQ(rc, 0) << said;
  EXPECT_EQ(said, "") << said;
  std::remove(file.c_str());
  std::remove((file + ".out").c_str());
}

// Reads one server-sent event ("event: NAME\ndata: DATA\n\n"); {"", ""} on time-out.
std::pair<std::string, std::string> NextEvent(FakeDevice& client, std::chrono::milliseconds timeout = 3000ms) {
  std::string text = client.ReceiveUntil("\n\n", timeout);
  auto e = text.find("event: "), d = text.find("\ndata: ");
  if (e == std::string::npos || d == std::string::npos) return {"", ""};
  return {text.substr(e + 7, d - e - 7), text.substr(d + 7, text.size() - d - 9)};
}

// The next device event (log and stats events are skipped).
json NextDeviceEvent(FakeDevice& client) {
  for (int i = 0; i < 50; ++i) {
    auto [name, data] = NextEvent(client);
    if (name.empty()) return nullptr;
    if (name == "device") return json::parse(data);
  }
  return nullptr;
}

TEST_F(AdminTest, EventsFollowDevicesTheLogAndTheCounters) {
  Init();
  FakeDevice sse;
  ASSERT_TRUE(sse.Connect(admin_));
  ASSERT_TRUE(sse.Send("GET /v1/events HTTP/1.1\r\nHost: localhost\r\n\r\n"));
  std::string head = sse.ReceiveUntil("\r\n\r\n");
  EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_NE(head.find("Content-Type: text/event-stream\r\n"), std::string::npos);
  auto first = NextEvent(sse);
  EXPECT_EQ(first.first, "stats");
  EXPECT_EQ(json::parse(first.second)["devices"], 0);

  FakeDevice d, other;
  ASSERT_TRUE(d.Connect(devices_));
  json connected = NextDeviceEvent(sse);
  EXPECT_EQ(connected["event"], "connected");
  EXPECT_EQ(connected["sn"], "");
  EXPECT_EQ(connected["port"], d.LocalPort());
  EXPECT_FALSE(connected.contains("reason"));
  ASSERT_TRUE(d.Send(Frame("-36DEV-8")));
  json registered = NextDeviceEvent(sse);
  EXPECT_EQ(registered["event"], "registered");
  EXPECT_EQ(registered["sn"], "DEV-8");
  EXPECT_EQ(registered["socket"], connected["socket"]);
  d.Close();
  json gone = NextDeviceEvent(sse);
  EXPECT_EQ(gone["event"], "disconnected");
  EXPECT_EQ(gone["reason"], 0);

  Register(other, "DEV-9");
  EXPECT_EQ(NextDeviceEvent(sse)["event"], "connected");
  EXPECT_EQ(NextDeviceEvent(sse)["event"], "registered");
  EXPECT_EQ(Change(http::verb::delete_, "/v1/devices/DEV-9").status, 204u);
  json closed = NextDeviceEvent(sse);
  EXPECT_EQ(closed["event"], "disconnected");
  EXPECT_EQ(closed["sn"], "DEV-9");
  EXPECT_EQ(closed["reason"], "operator");

  // Log lines and a stats event a second come along.
  int logs = 0, stats = 0;
  auto start = std::chrono::steady_clock::now();
  while (stats < 2 && std::chrono::steady_clock::now() - start < 5s) {
    auto [name, data] = NextEvent(sse);
    if (name == "log") {
      ++logs;
      EXPECT_TRUE(json::parse(data)["line"].is_string());
    }
    stats += name == "stats";
  }
  EXPECT_GE(logs, 1);
  EXPECT_EQ(stats, 2);
}

}  // namespace
}  // namespace velmo::test

namespace velmo::test {
namespace {

TEST_F(AdminTest, TheDesignedApiAnswersByteForByteWhileTheManagementPortIsBusy) {
  Init("", [](AppOptions& o) { o.deviceWait = 5s; });
  FakeDevice d, sse;
  Register(d, "DEV-A");
  ASSERT_TRUE(sse.Connect(admin_));  // a subscriber and a poller keep the management port busy
  ASSERT_TRUE(sse.Send("GET /v1/events HTTP/1.1\r\nHost: localhost\r\n\r\n"));
  ASSERT_FALSE(sse.ReceiveUntil("\r\n\r\n").empty());
  std::atomic<bool> stop{false};
  auto poller = std::async(std::launch::async, [&] {
    int polls = 0;
    for (; !stop; ++polls) Get(polls % 2 ? "/metrics" : "/v1/devices?limit=1000");
    return polls;
  });
  struct StopOnExit {  // a failed ASSERT must not leave the poller running
    std::atomic<bool>& stop;
    ~StopOnExit() { stop = true; }
  } stopOnExit{stop};

  // Written out independently of the server's code.
  auto chunked = [](const std::string& text) {
    char size[16];
    std::snprintf(size, sizeof size, "%zX", text.size());
    return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(size) + "\r\n" + text +
           "\r\n0\r\n\r\n";
  };
  const std::uint16_t api = velmo_->HttpPort();
  FakeDevice client;
  ASSERT_TRUE(client.Connect(api));
  ASSERT_TRUE(client.Send("POST /api/cmd HTTP/1.1\r\nSN: NOBODY\r\nContent-Length: 6\r\n\r\nled on"));
  EXPECT_EQ(client.ReceiveUntil("\r\n0\r\n\r\n"), chunked("{ \"device_online_status\": 0 }"));
  ASSERT_TRUE(client.Send("GET /api/hello HTTP/1.1\r\nSN: 1\r\n\r\n"));
  EXPECT_EQ(client.ReceiveUntil("\r\n0\r\n\r\n"), chunked("welcome to tarnel"));
  ASSERT_TRUE(client.Send("POST /api/cmd HTTP/1.1\r\nSN: DEV-A\r\nContent-Length: 6\r\n\r\nled on"));
  ASSERT_TRUE(WaitUntil([&] { return Get("/v1/devices/DEV-A").Json()["queued_bytes"] == 7; }));
  ASSERT_TRUE(d.Send(Frame("-36DEV-A")));  // the heartbeat takes it
  EXPECT_EQ(d.ReadFrame(), "-37led on\n");
  EXPECT_EQ(client.ReceiveUntil("\r\n0\r\n\r\n"), chunked("{ \"device_online_status\": 1 }"));
  stop = true;
  EXPECT_GT(poller.get(), 0);
}

}  // namespace
}  // namespace velmo::test

namespace velmo::test {
namespace {

TEST_F(AdminTest, EverySubscriberGetsEachEventAndTheLastToGoEndsTheSubscription) {
  Init();
  ASSERT_FALSE(velmo_->Server()->Events().HasSubscribers());
  std::vector<std::unique_ptr<FakeDevice>> subscribers;
  for (int i = 0; i < 3; ++i) {
    subscribers.push_back(std::make_unique<FakeDevice>());
    ASSERT_TRUE(subscribers.back()->Connect(admin_));
    ASSERT_TRUE(subscribers.back()->Send("GET /v1/events HTTP/1.1\r\nHost: localhost\r\n\r\n"));
    ASSERT_FALSE(subscribers.back()->ReceiveUntil("\r\n\r\n").empty());
    EXPECT_EQ(NextEvent(*subscribers.back()).first, "stats");  // each starts with the counters
  }
  ASSERT_TRUE(WaitUntil([this] { return velmo_->Server()->Events().HasSubscribers(); }));
  FakeDevice d;
  Register(d, "FAN-1");
  for (auto& s : subscribers) {
    json connected = NextDeviceEvent(*s);
    EXPECT_EQ(connected["event"], "connected");
    json registered = NextDeviceEvent(*s);
    EXPECT_EQ(registered["event"], "registered");
    EXPECT_EQ(registered["sn"], "FAN-1");
  }
  subscribers.clear();  // the clients go: nobody listens to the fleet any more
  EXPECT_TRUE(WaitUntil([this] { return !velmo_->Server()->Events().HasSubscribers(); }));
}

}  // namespace
}  // namespace velmo::test
