#include "cluster/ClusterNode.h"

#include <set>

#include "socketserver/ClientRegistry.h"
#include "socketserver/FleetEvents.h"
#include "socketserver/ServerClientSocket.h"

namespace velmo {

namespace {

ClusterRegistryHooks Hooks(std::function<std::string()> advertise, std::function<void(std::string_view)> log) {
  ClusterRegistryHooks hooks;
  hooks.advertise = std::move(advertise);
  hooks.log = std::move(log);
  hooks.localSns = [] {
    std::set<std::string> sns;
    CClientRegistry::Process().ForEach([&](const CServerClientSocket& c) {
      if (c.HasSn()) sns.insert(c.GetSn());
    });
    return std::vector<std::string>(sns.begin(), sns.end());
  };
  hooks.heldHere = [](const std::string& sn) { return CClientRegistry::Process().FindBySn(sn) != nullptr; };
  return hooks;
}

}  // namespace

CClusterNode::CClusterNode(const ClusterConfig& config, std::function<std::string()> advertise,
                           std::function<void(std::string_view)> log)
    : registry_(config, Hooks(std::move(advertise), log)),
      forwarder_(std::make_shared<CClusterForwarder>(config, registry_, log)) {}

CClusterNode::~CClusterNode() { Stop(); }

void CClusterNode::Start() {
  if (started_) return;
  started_ = true;
  registry_.Start();
  forwarder_->Start();
  subscription_ = CFleetEvents::Process().Subscribe([this](const DeviceEvent& e) {
    if (e.kind == DeviceEvent::Registered) {
      registry_.Registered(e.sn);
      // A connection that changed its SN no longer holds the old one.
      if (!e.previousSn.empty()) registry_.Disconnected(e.previousSn);
    }
    if (e.kind == DeviceEvent::Disconnected) registry_.Disconnected(e.sn);
  });
  SetRemoteDevices(forwarder_);
}

void CClusterNode::Stop() {
  if (!started_) return;
  started_ = false;
  SetRemoteDevices(nullptr);
  CFleetEvents::Process().Unsubscribe(subscription_);
  forwarder_->Stop();
  registry_.Stop();
}

}  // namespace velmo
