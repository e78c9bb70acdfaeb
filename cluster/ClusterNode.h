// CClusterNode: this process as one node of a fleet (--cluster). It keeps
// the shared registry up to date with this node's devices (from the device
// events), installs the forwarder that carries requests for devices held
// elsewhere, and takes both down again.
//
// Thread safety: Start and Stop on the window thread; Forwarder from any
// thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "cluster/ClusterConfig.h"
#include "cluster/ClusterForwarder.h"
#include "cluster/ClusterRegistry.h"

namespace velmo {

class CClusterNode {
 public:
  // `advertise`: this node's management address now; `log`: one log line.
  CClusterNode(const ClusterConfig& config, std::function<std::string()> advertise,
               std::function<void(std::string_view)> log);
  ~CClusterNode();  // Stop()
  CClusterNode(const CClusterNode&) = delete;
  CClusterNode& operator=(const CClusterNode&) = delete;

  void Start();
  // Requests for other nodes' devices are offline from here on; this node's
  // entries leave the registry. Call it before the device server goes.
  void Stop();

  const std::shared_ptr<CClusterForwarder>& Forwarder() const { return forwarder_; }

 private:
  CClusterRegistry registry_;
  std::shared_ptr<CClusterForwarder> forwarder_;
  std::uint64_t subscription_ = 0;
  bool started_ = false;
};

}  // namespace velmo
