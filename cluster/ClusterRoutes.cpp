#include "cluster/ClusterRoutes.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "cluster/ClusterForwarder.h"
#include "platform/TextCodec.h"
#include "socketserver/ClientRegistry.h"
#include "socketserver/DeviceExchange.h"
#include "socketserver/ServerClientSocket.h"

namespace velmo {

namespace {

using json = nlohmann::json;
using http = boost::beast::http::verb;

constexpr std::chrono::milliseconds kQueryMargin{500};
// How long the fleet's list and statistics wait for the other nodes.
constexpr std::chrono::milliseconds kGatherBound{2000};
// The most rows one node hands over for a merged page.
constexpr std::size_t kMaxNodeRows = 100000;
// The longest text another node sends: a relay's converted text.
constexpr std::size_t kMaxText = 4095;

AdminResponse Text(std::string body, const char* type = "text/plain") { return AdminResponse{200, type, std::move(body)}; }

// The device, the line feed and the wait of a request between nodes;
// false (with `refusal` set) when one is malformed.
struct DeviceCall {
  std::string sn;
  bool lineFeed = true;
  std::chrono::milliseconds wait{0};
};
bool ParseDeviceCall(const AdminRequest& req, std::chrono::milliseconds cap, DeviceCall* call,
                     AdminResponse* refusal) {
  const auto sn = req.query.find("sn");
  const auto lf = req.query.find("lf");
  const auto wait = req.query.find("wait_ms");
  std::size_t ms = static_cast<std::size_t>(cap.count());
  if (sn == req.query.end() || !CClusterForwarder::Unhex(sn->second, &call->sn) || call->sn.empty() ||
      (wait != req.query.end() && !ParseCount(wait->second, &ms))) {
    *refusal = JsonError(400, "sn (hex), lf and wait_ms are malformed");
    return false;
  }
  call->lineFeed = lf == req.query.end() || lf->second != "0";
  call->wait = std::min(cap, std::chrono::milliseconds(static_cast<std::int64_t>(std::min<std::size_t>(ms, 1u << 30))));
  return true;
}

bool FromNode(const AdminRequest& req, const AdminReply& reply) {
  if (req.fromCluster) return true;
  reply(JsonError(403, "this route is for the other nodes of the fleet"));
  return false;
}

void ClusterCommand(const AdminContext& ctx, CAdminServer& server, const AdminRequest& req, AdminReply reply) {
  if (!FromNode(req, reply)) return;
  DeviceCall call;
  AdminResponse refusal;
  if (!ParseDeviceCall(req, ctx.deviceWait, &call, &refusal)) return reply(refusal);
  if (req.body.size() > kMaxText) return reply(JsonError(413, "the text is longer than 4095 bytes"));
  auto target = CClientRegistry::Process().FindBySn(call.sn);
  platform::GatePtr home = server.Gate();
  if (!target || !home) return reply(Text("offline"));
  auto wait = CCommandWait::Start(target->Mailbox(), req.body, call.lineFeed, home,
                                  [reply](bool taken) { reply(Text(taken ? "taken" : "queued")); });
  server.After(call.wait, [wait] { wait->Expire(); });  // not taken in time: left queued
}

void ClusterQuery(const AdminContext& ctx, CAdminServer& server, const AdminRequest& req, AdminReply reply) {
  if (!FromNode(req, reply)) return;
  DeviceCall call;
  AdminResponse refusal;
  if (!ParseDeviceCall(req, 2 * ctx.deviceWait + kQueryMargin, &call, &refusal)) return reply(refusal);
  auto target = CClientRegistry::Process().FindBySn(call.sn);
  platform::GatePtr home = server.Gate();
  constexpr const char* kBytes = "application/octet-stream";
  if (!target || !home) return reply(Text("offline\n", kBytes));
  // As a relayed query here: refused, and so never answered.
  if (req.body.size() > kMaxText) return reply(Text("unanswered\n", kBytes));
  auto wait = CQueryWait::Start(target->Mailbox(), req.body, call.lineFeed, home, [reply](const QueryAnswer& a) {
    if (!a.answered) return reply(Text("unanswered\n", kBytes));
    reply(Text("answered\n" + std::string(reinterpret_cast<const char*>(a.record.data()), a.length), kBytes));
  });
  server.After(call.wait, [wait] { wait->Expire(); });
}

json NodeRows(const AdminContext& ctx, const std::string& prefix, std::size_t limit) {
  DevicePage page = ListDevicePage(prefix, 0, limit);
  const std::string& me = ctx.cluster->Registry().NodeId();
  for (json& d : page.devices) d["node"] = me;
  return json{{"node", me}, {"total", page.total}, {"devices", std::move(page.devices)}};
}

std::string QueryValue(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

}  // namespace

void ListClusterDevices(const AdminContext& ctx, const std::string& prefix, std::size_t offset, std::size_t limit,
                        const AdminReply& reply) {
  const std::size_t wanted = std::min(kMaxNodeRows, offset + limit);
  json mine = NodeRows(ctx, prefix, wanted);
  const std::string target = "/v1/cluster/devices?prefix=" + QueryValue(prefix) + "&limit=" + std::to_string(wanted);
  ctx.cluster->FetchAll(target, kGatherBound, [mine = std::move(mine), offset, limit,
                                               reply](std::vector<std::pair<ClusterNode, NodeAnswer>> answers) {
    std::size_t total = mine["total"].get<std::size_t>();
    // Another node's rows as this node makes them: objects with a text "sn"
    // and "node"; anything else counts that node as unreachable.
    auto wellFormed = [](const json& theirs) {
      if (!theirs.is_object() || !theirs.contains("devices") || !theirs["devices"].is_array() ||
          !theirs.contains("total") || !theirs["total"].is_number_unsigned()) {
        return false;
      }
      for (const json& d : theirs["devices"]) {
        if (!d.is_object() || !d.contains("sn") || !d["sn"].is_string() || !d.contains("node") || !d["node"].is_string()) {
          return false;
        }
      }
      return true;
    };
    std::vector<json> rows;
    for (const json& d : mine["devices"]) rows.push_back(d);
    json unreachable = json::array();
    for (const auto& [node, answer] : answers) {
      json theirs = answer.answered && answer.status == 200 ? json::parse(answer.body, nullptr, false) : json();
      if (!wellFormed(theirs)) {
        unreachable.push_back(node.id);
        continue;
      }
      total += theirs["total"].get<std::size_t>();
      for (json& d : theirs["devices"]) rows.push_back(std::move(d));
    }
    // By SN, then by node: the order does not depend on who answered first.
    auto key = [](const json& d) { return std::make_pair(d["sn"].get<std::string>(), d["node"].get<std::string>()); };
    std::stable_sort(rows.begin(), rows.end(), [&](const json& a, const json& b) { return key(a) < key(b); });
    json page = json::array();
    for (std::size_t i = offset; i < rows.size() && i < offset + limit; ++i) page.push_back(std::move(rows[i]));
    json out{{"total", total}, {"offset", offset}, {"devices", std::move(page)}};
    if (!unreachable.empty()) out["unreachable_nodes"] = std::move(unreachable);
    reply(Json(200, out));
  });
}

void ClusterStats(const AdminContext& ctx, const AdminReply& reply) {
  json mine = StatsJson(ctx);
  mine["node"] = ctx.cluster->Registry().NodeId();
  ctx.cluster->FetchAll("/v1/stats", kGatherBound, [mine = std::move(mine),
                                                    reply](std::vector<std::pair<ClusterNode, NodeAnswer>> answers) {
    json nodes = json::array({mine});
    json unreachable = json::array();
    for (const auto& [node, answer] : answers) {
      json theirs = answer.answered && answer.status == 200 ? json::parse(answer.body, nullptr, false) : json();
      if (!theirs.is_object() || !theirs.contains("totals") || !theirs["totals"].is_object() ||
          !theirs.contains("clients") || !theirs["clients"].is_number_integer() || !theirs.contains("devices") ||
          !theirs["devices"].is_number_integer()) {
        unreachable.push_back(node.id);
        continue;
      }
      theirs["node"] = node.id;
      nodes.push_back(std::move(theirs));
    }
    json out{{"clients", 0}, {"devices", 0}, {"totals", json::object()}};
    for (const json& n : nodes) {
      out["clients"] = out["clients"].get<std::int64_t>() + n["clients"].get<std::int64_t>();
      out["devices"] = out["devices"].get<std::int64_t>() + n["devices"].get<std::int64_t>();
      for (const auto& [name, value] : n["totals"].items()) {
        if (!value.is_number_integer()) continue;
        const json& sum = out["totals"][name];
        out["totals"][name] = (sum.is_number_integer() ? sum.get<std::int64_t>() : 0) + value.get<std::int64_t>();
      }
    }
    out["nodes"] = std::move(nodes);
    if (!unreachable.empty()) out["unreachable_nodes"] = std::move(unreachable);
    reply(Json(200, out));
  });
}

void ForwardDeviceRequest(const AdminContext& ctx, const AdminRequest& req, std::chrono::milliseconds bound,
                          AdminResponse offline, AdminResponse unanswered, AdminReply reply) {
  const std::string sn = Utf8ToGbkText(req.params.at(0));
  ctx.cluster->ForwardToHolder(sn, req.method, req.path, req.body, bound,
                               [offline, unanswered, reply](std::optional<NodeAnswer> a) {
                                 if (a && a->answered) return reply(AdminResponse{a->status, a->contentType, a->body});
                                 reply(a && a->sent ? unanswered : offline);
                               });
}

void AddClusterRoutes(CAdminServer& server, const AdminContext& ctx) {
  CAdminServer* s = &server;
  server.AddRoute(http::get, "/v1/cluster", [ctx](const AdminRequest&, AdminReply reply) {
    if (!ctx.cluster) return reply(Json(200, json{{"enabled", false}}));
    const CClusterRegistry& registry = ctx.cluster->Registry();
    json nodes = json::array();
    for (const ClusterNode& n : registry.Nodes()) nodes.push_back(json{{"node", n.id}, {"address", n.address}});
    reply(Json(200, json{{"enabled", true},
                         {"node", registry.NodeId()},
                         {"registry", registry.Up() ? "up" : "down"},
                         {"nodes", std::move(nodes)}}));
  });
  if (!ctx.cluster) return;
  server.AddRoute(http::post, "/v1/cluster/command", [ctx, s](const AdminRequest& req, AdminReply reply) {
    ClusterCommand(ctx, *s, req, std::move(reply));
  });
  server.AddRoute(http::post, "/v1/cluster/query", [ctx, s](const AdminRequest& req, AdminReply reply) {
    ClusterQuery(ctx, *s, req, std::move(reply));
  });
  server.AddRoute(http::get, "/v1/cluster/devices", [ctx](const AdminRequest& req, AdminReply reply) {
    if (!FromNode(req, reply)) return;
    std::size_t limit = 100;
    const auto l = req.query.find("limit");
    if (l != req.query.end() && !ParseCount(l->second, &limit)) return reply(JsonError(400, "limit must be a whole number"));
    const auto p = req.query.find("prefix");
    reply(Json(200, NodeRows(ctx, p == req.query.end() ? "" : p->second, std::min(limit, kMaxNodeRows))));
  });
}

}  // namespace velmo
