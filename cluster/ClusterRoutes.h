// The management port's side of a fleet of nodes:
//
//   POST /v1/cluster/command?sn=HEX&lf=0|1&wait_ms=N   (between nodes)
//        queues the body for the device here and answers "taken", "queued"
//        (not taken within wait_ms; it stays queued) or "offline"
//   POST /v1/cluster/query?sn=HEX&lf=0|1&wait_ms=N     (between nodes)
//        sends the body as a query and answers "answered\n" + the record,
//        "unanswered\n" or "offline\n"
//   GET  /v1/cluster/devices?prefix=P&limit=N          (between nodes)
//        this node's first N devices by SN, each with its "node"
//   GET  /v1/cluster
//        this node's id, the registry's state and the live nodes
//
// The routes between nodes answer only requests carrying the cluster token,
// and only from this node's own connections: they never forward.
//
// Thread safety: as AdminRoutes.h; completions from the forwarder's thread
// answer through their AdminReply.
#pragma once

#include <chrono>
#include <string>

#include "admin/AdminRoutes.h"

namespace velmo {

void AddClusterRoutes(CAdminServer& server, const AdminContext& ctx);

// GET /v1/devices?scope=cluster: the fleet's devices merged from every live
// node, ordered by SN, each with its "node"; `total` over the fleet.
void ListClusterDevices(const AdminContext& ctx, const std::string& prefix, std::size_t offset, std::size_t limit,
                        const AdminReply& reply);
// GET /v1/stats?scope=cluster: the counters summed over the live nodes, with
// each node's own in "nodes".
void ClusterStats(const AdminContext& ctx, const AdminReply& reply);

// A management request for one device that is not held here, carried to the
// node that holds it and answered with that node's answer. `offline` answers
// when no node holds it (or none can be reached); `unanswered` when the
// request reached the holder but no answer came within `bound`.
void ForwardDeviceRequest(const AdminContext& ctx, const AdminRequest& req, std::chrono::milliseconds bound,
                          AdminResponse offline, AdminResponse unanswered, AdminReply reply);

}  // namespace velmo
