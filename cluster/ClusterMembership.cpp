#include "cluster/ClusterMembership.h"

#include <set>

#include "cluster/ClusterRoutes.h"
#include "socketserver/ClientRegistry.h"
#include "socketserver/DeviceEvents.h"
#include "socketserver/DeviceReach.h"

namespace velmo {

namespace {

ClusterRegistryHooks Hooks(const CClientRegistry& devices, std::function<std::string()> advertise,
                           std::function<void(std::string_view)> log) {
  ClusterRegistryHooks hooks;
  hooks.advertise = std::move(advertise);
  hooks.log = std::move(log);
  hooks.localSns = [&devices] {
    std::set<std::string> sns;
    devices.VisitSns([&](std::string_view sn) {
      sns.emplace(sn);
      return true;
    });
    return std::vector<std::string>(sns.begin(), sns.end());
  };
  hooks.heldHere = [&devices](const std::string& sn) { return devices.FindBySn(sn) != nullptr; };
  return hooks;
}

}  // namespace

CClusterMembership::CClusterMembership(const ClusterConfig& config, const CClientRegistry& devices,
                                       CDeviceEvents& events, CDeviceReach& reach,
                                       std::function<std::string()> advertise,
                                       std::function<void(std::string_view)> log)
    : devices_(devices),
      events_(events),
      reach_(reach),
      registry_(config, Hooks(devices, std::move(advertise), log)),
      forwarder_(std::make_shared<CClusterForwarder>(config, registry_, log)) {}

CClusterMembership::~CClusterMembership() { Stop(); }

void CClusterMembership::Start() {
  if (started_) return;
  started_ = true;
  registry_.Start();
  forwarder_->Start();
  subscription_ = events_.Subscribe([this](const DeviceEvent& e) {
    if (e.kind == DeviceEvent::Registered) {
      registry_.Registered(e.sn);
      // A connection that changed its SN no longer holds the old one.
      if (!e.previousSn.empty()) registry_.Disconnected(e.previousSn);
    }
    if (e.kind == DeviceEvent::Disconnected) registry_.Disconnected(e.sn);
  });
  reach_.SetRemote(forwarder_);
}

void CClusterMembership::Stop() {
  if (!started_) return;
  started_ = false;
  reach_.SetRemote(nullptr);
  events_.Unsubscribe(subscription_);
  forwarder_->Stop();
  registry_.Stop();
}

void CClusterMembership::ListDevices(const std::string& prefix, std::size_t offset, std::size_t limit,
                                     AdminReply reply) {
  ListClusterDevices(*this, prefix, offset, limit, std::move(reply));
}

void CClusterMembership::Stats(nlohmann::json mine, AdminReply reply) {
  ClusterStats(*this, std::move(mine), std::move(reply));
}

void CClusterMembership::Forward(const AdminRequest& req, std::chrono::milliseconds bound, AdminResponse offline,
                                 AdminResponse unanswered, AdminReply reply) {
  ForwardDeviceRequest(*this, req, bound, std::move(offline), std::move(unanswered), std::move(reply));
}

RegistryFigures CClusterMembership::Figures() const {
  return RegistryFigures{registry_.Up(), registry_.Commands(), registry_.RoundTrips()};
}

}  // namespace velmo
