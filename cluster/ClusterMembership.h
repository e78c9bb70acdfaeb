// CClusterMembership: this process as one node of a fleet (--cluster). It
// keeps the shared registry up to date with this node's devices (from the
// device server's events), installs the forwarder into the device reach as
// its way to the devices held elsewhere, answers the management port's
// questions about the other nodes (IFleetView), and takes all of it down
// again.
//
// Thread safety: Start and Stop on the window thread; the rest from any
// thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "admin/FleetView.h"
#include "cluster/ClusterConfig.h"
#include "cluster/ClusterForwarder.h"
#include "cluster/ClusterRegistry.h"

namespace velmo {

class CClientRegistry;
class CDeviceEvents;
class CDeviceReach;

class CClusterMembership final : public IFleetView {
 public:
  // `devices`, `events` and `reach` are the device server's and the
  // program's; they outlive this. `advertise`: this node's management
  // address now; `log`: one log line.
  CClusterMembership(const ClusterConfig& config, const CClientRegistry& devices, CDeviceEvents& events,
                     CDeviceReach& reach, std::function<std::string()> advertise,
                     std::function<void(std::string_view)> log);
  ~CClusterMembership() override;  // Stop()
  CClusterMembership(const CClusterMembership&) = delete;
  CClusterMembership& operator=(const CClusterMembership&) = delete;

  void Start();
  // Requests for other nodes' devices are offline from here on; this node's
  // entries leave the registry. Call it before the device server goes.
  void Stop();

  const std::shared_ptr<CClusterForwarder>& Forwarder() const { return forwarder_; }
  const CClusterRegistry& Registry() const { return registry_; }
  const CClientRegistry& Devices() const { return devices_; }

  // IFleetView
  void ListDevices(const std::string& prefix, std::size_t offset, std::size_t limit, AdminReply reply) override;
  void Stats(nlohmann::json mine, AdminReply reply) override;
  void Forward(const AdminRequest& req, std::chrono::milliseconds bound, AdminResponse offline,
               AdminResponse unanswered, AdminReply reply) override;
  RegistryFigures Figures() const override;

 private:
  const CClientRegistry& devices_;
  CDeviceEvents& events_;
  CDeviceReach& reach_;
  CClusterRegistry registry_;
  std::shared_ptr<CClusterForwarder> forwarder_;
  std::uint64_t subscription_ = 0;
  bool started_ = false;
};

}  // namespace velmo
