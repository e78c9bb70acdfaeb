// CClusterForwarder: carries requests for devices held by other nodes to
// those nodes, over the routes between nodes on their management ports
// (authorised with the cluster token), and gathers the other nodes' device
// lists and statistics.
//
// A request goes to the node the registry names for the SN; that node only
// looks among its own connections (never forwards again), so a request is
// carried at most once. The other node decides within the bound it is given;
// the answer comes back as the holder's own, and the caller formats it
// exactly as for a device of its own. An SN held nowhere, a registry that
// cannot be reached, or a node that cannot be reached, answers "offline".
//
// HTTP/1.1 with Boost.Beast on the forwarder's own thread ("velmo-cluster"),
// over kept-alive connections pooled per node.
//
// Thread safety: Start and Stop on the owner's thread; everything else from
// any thread. Completions of SendCommand and SendQuery run on their `home`;
// those of Call, ForwardToHolder and FetchAll on the forwarder's thread.
#pragma once

#include <boost/beast/http/verb.hpp>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cluster/ClusterConfig.h"
#include "cluster/ClusterRegistry.h"
#include "platform/IoThread.h"
#include "socketserver/DeviceReach.h"

namespace velmo {

// What another node answered.
struct NodeAnswer {
  bool sent = false;      // the request was written whole
  bool answered = false;  // a whole response came back within the bound
  unsigned status = 0;
  std::string contentType;
  std::string body;
};

class CClusterForwarder final : public IRemoteDevices, public std::enable_shared_from_this<CClusterForwarder> {
 public:
  using AnswerDone = std::function<void(const NodeAnswer&)>;

  // `log`: one event-log line (any thread); a node that cannot be reached or
  // refuses this one is logged at most once a minute.
  CClusterForwarder(const ClusterConfig& config, CClusterRegistry& registry,
                    std::function<void(std::string_view)> log = nullptr);
  ~CClusterForwarder() override;  // Stop()

  void Start();
  // Calls still in flight end without their completions.
  void Stop();

  void SendCommand(const std::string& sn, const std::string& text, bool lineFeed, std::chrono::milliseconds bound,
                   platform::GatePtr home, std::function<void(const RemoteCommandResult&)> done) override;
  void SendQuery(const std::string& sn, const std::string& text, bool lineFeed, std::chrono::milliseconds bound,
                 platform::GatePtr home, std::function<void(const RemoteQueryResult&)> done) override;

  // `method target` with `body` to the node at `address` (HOST:PORT), with the
  // cluster token. `done` runs once, within `bound` (plus the connection's
  // own time-outs).
  void Call(const std::string& address, boost::beast::http::verb method, std::string target, std::string body,
            std::chrono::milliseconds bound, AnswerDone done);
  // The same request to the node holding `sn` (GBK); `done(nothing)` when no
  // other node holds it.
  void ForwardToHolder(const std::string& sn, boost::beast::http::verb method, std::string target, std::string body,
                       std::chrono::milliseconds bound, std::function<void(std::optional<NodeAnswer>)> done);
  // GET `target` from every other live node (read from the registry now);
  // `done` gets each node with its answer.
  void FetchAll(const std::string& target, std::chrono::milliseconds bound,
                std::function<void(std::vector<std::pair<NodeRecord, NodeAnswer>>)> done);

  CClusterRegistry& Registry() const { return registry_; }

  // The SN as lower-case hex, and back (false for anything else).
  static std::string Hex(const std::string& bytes);
  static bool Unhex(const std::string& hex, std::string* bytes);

 private:
  class Exchange;
  struct Pool;

  // POST `route`?sn=HEX&lf=..&wait_ms=.. with `text` to the node holding
  // `sn`; `done(nothing)` when no other node holds it.
  void CallHolder(const char* route, const std::string& sn, const std::string& text, bool lineFeed,
                  std::chrono::steady_clock::time_point deadline, std::function<void(std::optional<NodeAnswer>)> done);

  // Forwarder thread: logs what went wrong with a call to `address`, at most
  // once per kReportInterval for each node.
  void Report(const std::string& address, const NodeAnswer& answer);
  static constexpr std::chrono::seconds kReportInterval{60};

  const ClusterConfig config_;
  CClusterRegistry& registry_;
  const std::function<void(std::string_view)> log_;
  std::map<std::string, std::chrono::steady_clock::time_point> lastReported_;  // forwarder thread
  platform::CIoThread io_{"velmo-cluster"};
  std::shared_ptr<Pool> pool_;  // forwarder thread
};

}  // namespace velmo
