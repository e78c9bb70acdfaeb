#include "admin/AdminRoutes.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include <nlohmann/json.hpp>

#include "admin/ConsoleRoutes.h"
#include "admin/EventStreams.h"
#include "admin/FleetView.h"
#include "admin/Metrics.h"
#include "admin/StatsHistory.h"
#include "httpserver/HttpCounters.h"
#include "platform/EventLog.h"
#include "platform/MessageLoop.h"
#include "platform/Socket.h"
#include "platform/TextCodec.h"
#include "protocol/DeviceInfoRecord.h"
#include "socketserver/DeviceReach.h"
#include "socketserver/ServerClientSocket.h"
#include "socketserver/SocketServer.h"

namespace velmo {

namespace {

using json = nlohmann::json;
using http = boost::beast::http::verb;
using Conn = std::shared_ptr<CServerClientSocket>;

// The bound of a request carried to another node that waits for no device.
constexpr std::chrono::milliseconds kForwardBound{2000};
constexpr const char* kUnicodeReplacement = "\xEF\xBF\xBD";

// A request for a device not held here that the node holding it should
// answer: Velmo is one node of a fleet, and the request was not carried here
// by another node already.
bool Elsewhere(const AdminContext& ctx, const AdminRequest& req) { return ctx.fleet && !req.fromCluster; }

AdminResponse NoContent() { return AdminResponse{204, "", ""}; }

json Nullable(std::int64_t ms) { return ms == 0 ? json(nullptr) : json(IsoTime(ms)); }

json DeviceJson(const CServerClientSocket& c) {
  CDeviceMailbox* mailbox = c.PeekMailbox();
  return json{{"sn", GbkToUtf8(c.GetSn())},
              {"ip", c.AddressText()},
              {"port", platform::NetToHost16(c.PeerAddress().portNet)},
              {"socket", c.GetSocket()},
              {"connected_at", Nullable(c.ConnectedAtMs())},
              {"registered_at", Nullable(c.RegisteredAtMs())},
              {"last_heartbeat_at", Nullable(c.LastHeartbeatAtMs())},
              {"queued_bytes", mailbox ? mailbox->Request().Size() : 0}};
}

// The SN (GBK bytes) of the devices that show as `sn` in the JSON, as the
// routes of one device reach them; "" when no device can show so.
std::string DeviceSn(const CClientRegistry& registry, const std::string& sn) {
  if (sn.empty()) return "";
  if (sn.find(kUnicodeReplacement) != std::string::npos) {
    // U+FFFD stands for bytes that are not GBK: only a walk over this
    // node's devices finds which bytes show so (the oldest first).
    for (const Conn& c : registry.Snapshot()) {
      std::string gbk = c->GetSn();
      if (!gbk.empty() && GbkToUtf8(gbk) == sn) return gbk;
    }
    return "";
  }
  // Otherwise only an SN of these very GBK bytes shows as `sn`: one look-up,
  // no walk over the fleet.
  std::string gbk = Utf8ToGbkText(sn);
  return GbkToUtf8(gbk) == sn ? gbk : "";
}

// The connection of this node that shows as `sn`.
Conn FindByJsonSn(const CClientRegistry& registry, const std::string& sn) {
  const std::string gbk = DeviceSn(registry, sn);
  return gbk.empty() ? nullptr : registry.FindBySn(gbk);
}

void ListDevices(const AdminContext& ctx, const AdminRequest& req, const AdminReply& reply) {
  std::size_t offset = 0, limit = 100;
  const auto o = req.query.find("offset");
  const auto l = req.query.find("limit");
  if ((o != req.query.end() && !ParseCount(o->second, &offset)) ||
      (l != req.query.end() && !ParseCount(l->second, &limit))) {
    return reply(JsonError(400, "offset and limit must be whole numbers"));
  }
  limit = std::clamp<std::size_t>(limit, 1, 1000);
  const auto p = req.query.find("prefix");
  const std::string prefix = p == req.query.end() ? "" : p->second;
  const auto scope = req.query.find("scope");
  if (scope != req.query.end() && scope->second == "cluster" && ctx.fleet) {
    return ctx.fleet->ListDevices(prefix, offset, limit, reply);
  }
  DevicePage page = ListDevicePage(ctx.server->Registry(), prefix, offset, limit);
  reply(Json(200, json{{"total", page.total}, {"offset", offset}, {"devices", std::move(page.devices)}}));
}

// Runs `action` on the window thread and answers 204 when it is done.
void OnWindowThread(const AdminContext& ctx, std::function<void()> action, AdminReply reply) {
  auto r = ctx.window->PostTask([action = std::move(action), reply] {
    if (action) action();
    reply(NoContent());
  });
  if (r != platform::PostResult::Ok) reply(JsonError(503, "the window thread is busy; try again"));
}

ReachRequest DeviceRequest(const AdminContext& ctx, const AdminRequest& req, std::string text) {
  ReachRequest r;
  r.sn = DeviceSn(ctx.server->Registry(), req.params[0]);
  r.text = std::move(text);
  r.source = CommandSource::Admin;
  r.scope = Elsewhere(ctx, req) ? ReachScope::Fleet : ReachScope::Here;
  return r;
}

void SendCommand(const AdminContext& ctx, CAdminServer& server, const AdminRequest& req, AdminReply reply) {
  // The text in GBK, up to a zero byte, as /api/cmd takes it.
  ConvertedText text = ConvertToGbk(req.body);
  if (text.length > kMaxCommandText) return reply(JsonError(413, "body too long"));
  ctx.reach->Command(server.Home(), DeviceRequest(ctx, req, std::move(text.text)), [reply](CommandOutcome outcome) {
    switch (outcome) {
      case CommandOutcome::Taken: return reply(Json(200, json{{"status", "taken"}}));
      case CommandOutcome::Queued: return reply(Json(202, json{{"status", "queued"}}));  // left queued
      case CommandOutcome::Offline: return reply(Json(404, json{{"status", "offline"}}));
      case CommandOutcome::Refused: return reply(JsonError(413, "body too long"));
    }
  });
}

void QueryInfo(const AdminContext& ctx, CAdminServer& server, const AdminRequest& req, AdminReply reply) {
  ctx.reach->Query(server.Home(), DeviceRequest(ctx, req, "query dev_infos"), [reply](const QueryOutcome& outcome) {
    if (outcome.status == QueryOutcome::Offline) return reply(JsonError(404, "no such device"));
    if (outcome.status != QueryOutcome::Answered) return reply(JsonError(504, "no answer"));
    const DeviceInfo i = DecodeDeviceInfo(outcome.answer.record.data(), outcome.answer.length);
    char version[24], ip[24], mac[40], runtime[48];
    std::snprintf(version, sizeof version, "%02d.%02d.%02d", i.version[0], i.version[1], i.version[2]);
    std::snprintf(ip, sizeof ip, "%d.%d.%d.%d", i.ip[0], i.ip[1], i.ip[2], i.ip[3]);
    std::snprintf(mac, sizeof mac, "%02X:%02X:%02X:%02X:%02X:%02X", i.mac[0], i.mac[1], i.mac[2], i.mac[3], i.mac[4],
                  i.mac[5]);
    std::snprintf(runtime, sizeof runtime, "%04d-%02d-%02d %02d:%02d:%02d", i.runtime[0], i.runtime[1], i.runtime[2],
                  i.runtime[3], i.runtime[4], i.runtime[5]);
    reply(Json(200, json{{"version", version}, {"ip", ip}, {"mac", mac}, {"runtime", runtime}}));
  });
}

void CloseDevice(const AdminContext& ctx, const AdminRequest& req, AdminReply reply) {
  auto r = ctx.window->PostTask([ctx, req, reply] {
    Conn c = FindByJsonSn(ctx.server->Registry(), req.params[0]);
    if (!c && Elsewhere(ctx, req)) {
      return ctx.fleet->Forward(req, kForwardBound, JsonError(404, "no such device"),
                                JsonError(504, "no answer from the node holding the device"), reply);
    }
    if (!ctx.server->CloseByOperator(c)) return reply(JsonError(404, "no such device"));
    ctx.log->Append("OnOperatorClose-" + std::to_string(c->GetSocket()) + ", SN=" + c->GetSn());
    reply(NoContent());
  });
  if (r != platform::PostResult::Ok) reply(JsonError(503, "the window thread is busy; try again"));
}

}  // namespace

AdminResponse Json(unsigned status, const json& body) {
  return AdminResponse{status, "application/json", body.dump(-1, ' ', false, json::error_handler_t::replace)};
}

bool ParseCount(const std::string& text, std::size_t* out) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
  return ec == std::errc() && end == text.data() + text.size();
}

json StatsJson(const AdminContext& ctx) {
  const DeviceTotals t = ctx.server->Counters().Read();
  const CClientRegistry::Counts counts = ctx.server->Registry().CountBoth();
  const std::int64_t now = CServerClientSocket::NowMs();
  return json{{"clients", counts.clients},
              {"devices", counts.devices},
              {"listening", ctx.server->IsListening()},
              {"uptime_s", (now - ctx.startedAtMs) / 1000},
              {"started_at", IsoTime(ctx.startedAtMs)},
              {"totals",
               {{"connections", t.connections},
                {"disconnections", t.Disconnections()},
                {"heartbeats", t.heartbeats},
                {"commands_taken", t.commands[static_cast<int>(CommandResult::Taken)]},
                {"commands_queued", t.commands[static_cast<int>(CommandResult::Queued)]},
                {"commands_offline", t.commands[static_cast<int>(CommandResult::Offline)]},
                {"relays", t.Relays()},
                {"uploads", t.uploads},
                {"downloads", t.downloads}}}};
}

DevicePage ListDevicePage(const CClientRegistry& registry, const std::string& prefix, std::size_t offset,
                          std::size_t limit) {
  struct Row {
    std::string sn;
    std::size_t order;  // place in the list: one SN's connections oldest first
    Conn conn;
  };
  std::vector<Row> rows;
  for (Conn& c : registry.Snapshot()) {
    if (!c->HasSn()) continue;
    std::string sn = GbkToUtf8(c->GetSn());
    if (sn.compare(0, prefix.size(), prefix) == 0) rows.push_back(Row{std::move(sn), rows.size(), std::move(c)});
  }
  // Only the page asked for is put in order: the rows before it are found,
  // not sorted.
  auto before = [](const Row& a, const Row& b) { return a.sn != b.sn ? a.sn < b.sn : a.order < b.order; };
  const std::size_t first = std::min(offset, rows.size());
  const std::size_t last = std::min(rows.size(), first + std::min(limit, rows.size()));
  if (first > 0 && first < rows.size()) std::nth_element(rows.begin(), rows.begin() + first, rows.end(), before);
  std::partial_sort(rows.begin() + first, rows.begin() + last, rows.end(), before);
  DevicePage page;
  page.total = rows.size();
  for (std::size_t i = first; i < last; ++i) page.devices.push_back(DeviceJson(*rows[i].conn));
  return page;
}

std::string DeviceEventText(const DeviceEvent& e) {
  static const char* kinds[] = {"connected", "registered", "disconnected"};
  json j{{"event", kinds[e.kind]}, {"sn", GbkToUtf8(e.sn)}, {"ip", e.ip}, {"port", e.port}, {"socket", e.socket}};
  if (e.kind == DeviceEvent::Disconnected) {
    j["reason"] = e.reason == DeviceEvent::kOperatorReason ? json("operator") : json(e.reason);
  }
  if (e.atMs != 0) j["at"] = IsoTime(e.atMs);
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string IsoTime(std::int64_t ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  const long offset = local.tm_gmtoff / 60;  // minutes east of UTC
  char zone[40];
  std::snprintf(zone, sizeof zone, "%c%02ld:%02ld", offset < 0 ? '-' : '+', std::labs(offset) / 60,
                std::labs(offset) % 60);
  return std::string(text) + zone;
}

void AddAdminRoutes(CAdminServer& server, const AdminContext& context) {
  AddConsoleRoutes(server);
  const AdminContext ctx = context;
  CAdminServer* s = &server;
  server.AddRoute(http::get, "/v1/stats", [ctx](const AdminRequest& req, AdminReply reply) {
    const auto scope = req.query.find("scope");
    if (scope != req.query.end() && scope->second == "cluster" && ctx.fleet) {
      return ctx.fleet->Stats(StatsJson(ctx), reply);
    }
    reply(Json(200, StatsJson(ctx)));
  });
  server.AddRoute(http::get, "/v1/stats/history", [history = ctx.history](const AdminRequest&, AdminReply reply) {
    json samples = json::array();
    for (const StatsSample& s : history->Samples()) {
      samples.push_back(json{{"at", IsoTime(s.atMs)}, {"clients", s.clients}, {"devices", s.devices}});
    }
    reply(Json(200, json{{"interval_s", history->Interval().count() / 1000}, {"samples", std::move(samples)}}));
  });
  server.AddRoute(http::get, "/v1/devices",
                  [ctx](const AdminRequest& req, AdminReply reply) { ListDevices(ctx, req, reply); });
  server.AddRoute(http::get, "/v1/devices/{}", [ctx](const AdminRequest& req, AdminReply reply) {
    Conn c = FindByJsonSn(ctx.server->Registry(), req.params[0]);
    if (c) return reply(Json(200, DeviceJson(*c)));
    if (Elsewhere(ctx, req)) {
      return ctx.fleet->Forward(req, kForwardBound, JsonError(404, "no such device"),
                                JsonError(504, "no answer from the node holding the device"), std::move(reply));
    }
    reply(JsonError(404, "no such device"));
  });
  server.AddRoute(http::delete_, "/v1/devices/{}",
                  [ctx](const AdminRequest& req, AdminReply reply) { CloseDevice(ctx, req, std::move(reply)); });
  server.AddRoute(http::post, "/v1/devices/{}/commands", [ctx, s](const AdminRequest& req, AdminReply reply) {
    SendCommand(ctx, *s, req, std::move(reply));
  });
  server.AddRoute(http::get, "/v1/devices/{}/info", [ctx, s](const AdminRequest& req, AdminReply reply) {
    QueryInfo(ctx, *s, req, std::move(reply));
  });
  // The buttons: each runs on the window thread, and the answer follows.
  const struct {
    http method;
    const char* path;
    std::function<void()> action;
  } buttons[] = {
      {http::post, "/v1/server/listen", ctx.controls.startListen},
      {http::delete_, "/v1/server/listen", ctx.controls.stopListen},
      {http::post, "/v1/server/close-all", ctx.controls.closeAll},
      {http::post, "/v1/transfers/cancel", ctx.controls.cancelRecv},
  };
  for (const auto& b : buttons) {
    server.AddRoute(b.method, b.path, [ctx, action = b.action](const AdminRequest&, AdminReply reply) {
      OnWindowThread(ctx, action, std::move(reply));
    });
  }
  auto streams = std::make_shared<CEventStreams>(server, *ctx.log, ctx.server->Events(), [ctx] {
    return StatsJson(ctx).dump(-1, ' ', false, json::error_handler_t::replace);
  });
  server.AddStreamRoute("/v1/events", [streams](const AdminRequest&, std::shared_ptr<CAdminStream> stream) {
    streams->Add(stream);
  });
  server.AddRoute(http::get, "/metrics", [ctx, s](const AdminRequest&, AdminReply reply) {
    MetricsInput in;
    if (ctx.fleet) in.cluster = ctx.fleet->Figures();
    const CClientRegistry::Counts counts = ctx.server->Registry().CountBoth();
    in.clients = static_cast<int>(counts.clients);
    in.devices = static_cast<int>(counts.devices);
    in.totals = ctx.server->Counters().Read();
    if (ctx.apiRequests) in.apiRequests = ctx.apiRequests->Read();
    in.adminRequests = s->Counters().Read();
    if (ctx.webhook) in.webhook = ctx.webhook();
    reply(AdminResponse{200, "text/plain; version=0.0.4; charset=utf-8", FormatMetrics(in)});
  });
  server.AddRoute(http::get, "/v1/log", [log = ctx.log](const AdminRequest& req, AdminReply reply) {
    std::size_t lines = 100;
    const auto n = req.query.find("lines");
    if (n != req.query.end() && !ParseCount(n->second, &lines)) {
      return reply(JsonError(400, "lines must be a whole number"));
    }
    json out = json::array();
    for (const std::string& line : log->Tail(std::clamp<std::size_t>(lines, 1, 1000))) out.push_back(GbkToUtf8(line));
    reply(Json(200, out));
  });
}

}  // namespace velmo
