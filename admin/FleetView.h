// IFleetView: what the management port asks of the other nodes when Velmo is
// one node of a fleet (implemented by the fleet membership, cluster/): the
// fleet's device list and statistics, requests for one device held by
// another node, and the shared registry's figures. Without a fleet there is
// none, and every route answers for this node alone.
//
// Thread safety: every member may be called from any thread; replies come
// from the fleet's own threads.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "admin/AdminServer.h"
#include "admin/Metrics.h"

namespace velmo {

class IFleetView {
 public:
  virtual ~IFleetView() = default;

  // GET /v1/devices?scope=cluster: the fleet's devices merged from every live
  // node, ordered by SN, each with its "node"; `total` over the fleet.
  virtual void ListDevices(const std::string& prefix, std::size_t offset, std::size_t limit, AdminReply reply) = 0;
  // GET /v1/stats?scope=cluster: `mine` (this node's statistics) with every
  // other live node's, and the counters summed.
  virtual void Stats(nlohmann::json mine, AdminReply reply) = 0;
  // A management request for one device that is not held here (GET or DELETE
  // /v1/devices/{sn}), carried to the node that holds it and answered with
  // that node's answer. `offline` answers when no node holds it (or none can
  // be reached); `unanswered` when the request reached the holder but no
  // answer came within `bound`.
  virtual void Forward(const AdminRequest& req, std::chrono::milliseconds bound, AdminResponse offline,
                       AdminResponse unanswered, AdminReply reply) = 0;

  // The shared registry's state and use, for /metrics.
  virtual RegistryFigures Figures() const = 0;
};

}  // namespace velmo
