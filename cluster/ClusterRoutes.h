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

class CClientRegistry;
class CClusterMembership;
class CDeviceReach;

// Registers the routes on `server`: /v1/cluster always (it says whether this
// node is one of a fleet), the routes between nodes with `membership` only.
// `devices` and `reach` are this node's own.
void AddClusterRoutes(CAdminServer& server, CClusterMembership* membership, const CClientRegistry& devices,
                      CDeviceReach& reach);

// The management port's questions about the other nodes (see IFleetView):
// GET /v1/devices?scope=cluster, GET /v1/stats?scope=cluster (with `mine`,
// this node's statistics), and a request for one device that is not held
// here, carried to the node that holds it.
void ListClusterDevices(CClusterMembership& membership, const std::string& prefix, std::size_t offset,
                        std::size_t limit, const AdminReply& reply);
void ClusterStats(CClusterMembership& membership, nlohmann::json mine, const AdminReply& reply);
void ForwardDeviceRequest(CClusterMembership& membership, const AdminRequest& req, std::chrono::milliseconds bound,
                          AdminResponse offline, AdminResponse unanswered, AdminReply reply);

}  // namespace velmo
