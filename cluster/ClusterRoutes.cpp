#include "cluster/ClusterRoutes.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "cluster/ClusterForwarder.h"
#include "cluster/ClusterMembership.h"
#include "platform/TextCodec.h"
#include "socketserver/ClientRegistry.h"
#include "socketserver/DeviceReach.h"

namespace velmo {

namespace {

using json = nlohmann::json;
using http = boost::beast::http::verb;

// How long the fleet's list and statistics wait for the other nodes.
constexpr std::chrono::milliseconds kGatherBound{2000};
// The most rows one node hands over for a merged page.
constexpr std::size_t kMaxNodeRows = 100000;

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

// The request of another node for a device here: never carried further.
ReachRequest CarriedRequest(const DeviceCall& call, std::string text) {
  ReachRequest r;
  r.sn = call.sn;
  r.text = std::move(text);
  r.lineFeed = call.lineFeed;
  r.source = CommandSource::Node;
  r.scope = ReachScope::Here;
  r.bound = call.wait;
  return r;
}

void ClusterCommand(CAdminServer& server, CDeviceReach& reach, const AdminRequest& req, AdminReply reply) {
  if (!FromNode(req, reply)) return;
  DeviceCall call;
  AdminResponse refusal;
  if (!ParseDeviceCall(req, reach.Stage(), &call, &refusal)) return reply(refusal);
  if (req.body.size() > kMaxRelayText) return reply(JsonError(413, "the text is longer than 4095 bytes"));
  reach.Command(server.Home(), CarriedRequest(call, req.body), [reply](CommandOutcome outcome) {
    switch (outcome) {
      case CommandOutcome::Taken: return reply(Text("taken"));
      case CommandOutcome::Queued: return reply(Text("queued"));  // left queued
      case CommandOutcome::Offline: return reply(Text("offline"));
      case CommandOutcome::Refused: return reply(JsonError(413, "the text is longer than 4095 bytes"));
    }
  });
}

void ClusterQuery(CAdminServer& server, CDeviceReach& reach, const AdminRequest& req, AdminReply reply) {
  if (!FromNode(req, reply)) return;
  DeviceCall call;
  AdminResponse refusal;
  if (!ParseDeviceCall(req, reach.QueryBound(), &call, &refusal)) return reply(refusal);
  reach.Query(server.Home(), CarriedRequest(call, req.body), [reply](const QueryOutcome& outcome) {
    constexpr const char* kBytes = "application/octet-stream";
    switch (outcome.status) {
      case QueryOutcome::Offline: return reply(Text("offline\n", kBytes));
      // As a relayed query here: refused, and so never answered.
      case QueryOutcome::Refused:
      case QueryOutcome::Unanswered: return reply(Text("unanswered\n", kBytes));
      case QueryOutcome::Answered: break;
    }
    const QueryAnswer& a = outcome.answer;
    reply(Text("answered\n" + std::string(reinterpret_cast<const char*>(a.record.data()), a.length), kBytes));
  });
}

json NodeRows(const CClientRegistry& devices, const std::string& me, const std::string& prefix, std::size_t limit) {
  DevicePage page = ListDevicePage(devices, prefix, 0, limit);
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

void ListClusterDevices(CClusterMembership& membership, const std::string& prefix, std::size_t offset,
                        std::size_t limit, const AdminReply& reply) {
  const std::size_t wanted = std::min(kMaxNodeRows, offset + limit);
  json mine = NodeRows(membership.Devices(), membership.Registry().NodeId(), prefix, wanted);
  const std::string target = "/v1/cluster/devices?prefix=" + QueryValue(prefix) + "&limit=" + std::to_string(wanted);
  membership.Forwarder()->FetchAll(target, kGatherBound, [mine = std::move(mine), offset, limit,
                                               reply](std::vector<std::pair<NodeRecord, NodeAnswer>> answers) {
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

void ClusterStats(CClusterMembership& membership, json mine, const AdminReply& reply) {
  mine["node"] = membership.Registry().NodeId();
  membership.Forwarder()->FetchAll("/v1/stats", kGatherBound, [mine = std::move(mine),
                                                    reply](std::vector<std::pair<NodeRecord, NodeAnswer>> answers) {
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

void ForwardDeviceRequest(CClusterMembership& membership, const AdminRequest& req, std::chrono::milliseconds bound,
                          AdminResponse offline, AdminResponse unanswered, AdminReply reply) {
  const std::string sn = Utf8ToGbkText(req.params.at(0));
  membership.Forwarder()->ForwardToHolder(sn, req.method, req.path, req.body, bound,
                               [offline, unanswered, reply](std::optional<NodeAnswer> a) {
                                 if (a && a->answered) return reply(AdminResponse{a->status, a->contentType, a->body});
                                 reply(a && a->sent ? unanswered : offline);
                               });
}

void AddClusterRoutes(CAdminServer& server, CClusterMembership* membership, const CClientRegistry& devices,
                      CDeviceReach& reach) {
  CAdminServer* s = &server;
  server.AddRoute(http::get, "/v1/cluster", [membership](const AdminRequest&, AdminReply reply) {
    if (!membership) return reply(Json(200, json{{"enabled", false}}));
    const CClusterRegistry& registry = membership->Registry();
    json nodes = json::array();
    for (const NodeRecord& n : registry.Nodes()) nodes.push_back(json{{"node", n.id}, {"address", n.address}});
    reply(Json(200, json{{"enabled", true},
                         {"node", registry.NodeId()},
                         {"registry", registry.Up() ? "up" : "down"},
                         {"nodes", std::move(nodes)}}));
  });
  if (!membership) return;
  CDeviceReach* r = &reach;
  server.AddRoute(http::post, "/v1/cluster/command", [s, r](const AdminRequest& req, AdminReply reply) {
    ClusterCommand(*s, *r, req, std::move(reply));
  });
  server.AddRoute(http::post, "/v1/cluster/query", [s, r](const AdminRequest& req, AdminReply reply) {
    ClusterQuery(*s, *r, req, std::move(reply));
  });
  const CClientRegistry* d = &devices;
  const std::string me = membership->Registry().NodeId();
  server.AddRoute(http::get, "/v1/cluster/devices", [d, me](const AdminRequest& req, AdminReply reply) {
    if (!FromNode(req, reply)) return;
    std::size_t limit = 100;
    const auto l = req.query.find("limit");
    if (l != req.query.end() && !ParseCount(l->second, &limit)) return reply(JsonError(400, "limit must be a whole number"));
    const auto p = req.query.find("prefix");
    reply(Json(200, NodeRows(*d, me, p == req.query.end() ? "" : p->second, std::min(limit, kMaxNodeRows))));
  });
}

}  // namespace velmo
