// CClusterRegistry: this node's side of the fleet's shared device registry,
// kept in Redis.
//
// Keys:
//   velmo:sn:<SN bytes>   the id of the node holding the device; expires
//                         after entryTtl unless that node refreshes it
//   velmo:node:<node id>  the node's advertised management address; expires
//                         after nodeTtl unless the node refreshes it
//   velmo:nodes           the set of node ids (a member whose record has
//                         expired is dropped by the first node to see it)
//
// A registration overwrites the SN's entry: the most recent registration
// owns the SN. A disconnection removes the entry only while it still names
// this node and no other connection here holds the SN. The periodic refresh
// extends this node's entries and writes again those that are missing (after
// Redis lost its data, or when the registry comes back), never one that
// names another node.
//
// One thread ("velmo-registry") talks to Redis over one connection with
// hiredis; every call gives up after callTimeout, so a hung Redis is handled
// like an unreachable one. The other threads only queue work; the thread
// sends everything queued in one pipelined round trip. While Redis cannot be
// reached, look-ups answer "held nowhere" at once, writes are dropped (the
// next connection writes every device again) and one log line says so; one
// more says when it is back.
//
// Thread safety: Start and Stop on the owner's thread; everything else from
// any thread. Callbacks given to the constructor and to Lookup run on the
// registry thread and must not wait.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cluster/ClusterConfig.h"
#include "platform/ThreadCheck.h"

struct redisContext;

namespace velmo {

struct NodeRecord {
  std::string id;
  std::string address;  // HOST:PORT of its management port
};

// What the registry asks of its node.
struct ClusterRegistryHooks {
  std::function<std::string()> advertise;              // this node's management address, now
  std::function<std::vector<std::string>()> localSns;  // the SNs registered here (GBK, distinct)
  std::function<bool(const std::string& sn)> heldHere;  // a connection here holds `sn`
  std::function<void(std::string_view line)> log;       // one event-log line
};

class CClusterRegistry {
 public:
  using LookupDone = std::function<void(std::optional<NodeRecord> holder)>;

  CClusterRegistry(const ClusterConfig& config, ClusterRegistryHooks hooks);
  ~CClusterRegistry();  // Stop()
  CClusterRegistry(const CClusterRegistry&) = delete;
  CClusterRegistry& operator=(const CClusterRegistry&) = delete;

  void Start();
  // Removes this node's entries and record (within the call time-out) and
  // ends the thread. Look-ups still queued answer "held nowhere".
  void Stop();

  // A device registered here as `sn`.
  void Registered(const std::string& sn);
  // A connection here that had registered as `sn` ended.
  void Disconnected(const std::string& sn);
  // The node that holds `sn`: none when no node does, when the registry
  // cannot be reached, or when it names this node (which would have found
  // the device itself). `done` runs once on the registry thread.
  void Lookup(const std::string& sn, LookupDone done);

  // The live nodes (this one included), as last read: at most nodeInterval old.
  std::vector<NodeRecord> Nodes() const;
  // The live nodes read now (on the registry thread): `done` gets them, or
  // the last ones read when the registry cannot be reached.
  void ReadNodes(std::function<void(std::vector<NodeRecord>)> done);
  const std::string& NodeId() const { return config_.nodeId; }
  bool Up() const { return up_.load(); }
  // Redis commands sent and round trips made since Start.
  std::uint64_t Commands() const { return commands_.load(); }
  std::uint64_t RoundTrips() const { return roundTrips_.load(); }

  static std::string SnKey(std::string_view sn) { return "velmo:sn:" + std::string(sn); }
  static std::string NodeKey(std::string_view id) { return "velmo:node:" + std::string(id); }

 private:
  struct Op {
    enum Kind { Register, Unregister, Lookup, Nodes } kind;
    std::string sn;
    LookupDone done;
    std::function<void(std::vector<NodeRecord>)> nodes;
  };
  class Pipeline;

  void Queue(Op::Kind kind, const std::string& sn);  // a write, for the registry thread
  void Run();
  bool Connect(std::string* why);
  void Drop(const std::string& why);  // the connection failed: lost
  // One round trip for `ops`, and the refresh or node record when due.
  bool Exchange(std::deque<Op>& ops, bool refresh, bool node, std::string* why);
  void RefreshNodes(const std::vector<std::string>& members, std::string* why);
  std::optional<NodeRecord> Holder(const std::string& id);
  void RemoveOwnEntries();
  void FailLookups(std::deque<Op>& ops);

  const ClusterConfig config_;
  const ClusterRegistryHooks hooks_;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Op> queue_;  // guarded by mutex_
  bool stop_ = false;     // guarded by mutex_
  std::map<std::string, std::string> nodes_;  // guarded by mutex_: id -> address
  // Registry thread.
  platform::CThreadOwner owner_;
  redisContext* redis_ = nullptr;
  bool lostLogged_ = false;
  std::set<std::string> unwritten_;  // registered here while Redis could not be reached
  std::atomic<bool> up_{false};
  std::atomic<std::uint64_t> commands_{0};
  std::atomic<std::uint64_t> roundTrips_{0};
};

}  // namespace velmo
