#include "cluster/ClusterRegistry.h"

#include <hiredis/hiredis.h>
#include <sys/time.h>

#include <algorithm>
#include <memory>

namespace velmo {

namespace {

using Clock = std::chrono::steady_clock;

// Extends this node's entries among KEYS and writes those that are missing;
// an entry naming another node is left alone. ARGV: the expiry in ms, the node id.
constexpr const char kRefreshScript[] =
    "local n = 0 "
    "for _, key in ipairs(KEYS) do "
    "  local v = redis.call('GET', key) "
    "  if not v then redis.call('SET', key, ARGV[2], 'PX', ARGV[1]) n = n + 1 "
    "  elseif v == ARGV[2] then redis.call('PEXPIRE', key, ARGV[1]) end "
    "end "
    "return n";
// Removes KEYS[1] while it names ARGV[1].
constexpr const char kRemoveScript[] =
    "if redis.call('GET', KEYS[1]) == ARGV[1] then return redis.call('DEL', KEYS[1]) end return 0";

constexpr std::size_t kRefreshChunk = 1000;  // keys per refresh call

timeval ToTimeval(std::chrono::milliseconds ms) {
  return timeval{static_cast<time_t>(ms.count() / 1000), static_cast<suseconds_t>((ms.count() % 1000) * 1000)};
}

struct ReplyFree {
  void operator()(redisReply* r) const { freeReplyObject(r); }
};
using Reply = std::unique_ptr<redisReply, ReplyFree>;

}  // namespace

// Commands appended to the connection, then their replies read in order.
class CClusterRegistry::Pipeline {
 public:
  Pipeline(redisContext* c, std::atomic<std::uint64_t>& counter) : c_(c), counter_(counter) {}
  void Add(std::initializer_list<std::string_view> args) { Add(std::vector<std::string_view>(args)); }
  void Add(const std::vector<std::string_view>& args) {
    std::vector<const char*> argv;
    std::vector<std::size_t> lengths;
    for (std::string_view a : args) {
      argv.push_back(a.data());
      lengths.push_back(a.size());
    }
    redisAppendCommandArgv(c_, static_cast<int>(argv.size()), argv.data(), lengths.data());
    ++count_;
    ++counter_;
  }
  std::size_t Count() const { return count_; }
  // The next reply; null (with `why`) when the connection failed.
  // An error reply (a full, read-only or loading Redis refuses writes) counts
  // as a failure too: the connection is dropped and everything written again
  // once Redis takes it.
  Reply Next(std::string* why) {
    void* raw = nullptr;
    if (redisGetReply(c_, &raw) != REDIS_OK || !raw) {
      *why = c_->errstr[0] ? c_->errstr : "no reply";
      return nullptr;
    }
    Reply reply(static_cast<redisReply*>(raw));
    if (reply->type == REDIS_REPLY_ERROR) {
      *why = std::string(reply->str, reply->len);
      return nullptr;
    }
    return reply;
  }

 private:
  redisContext* c_;
  std::atomic<std::uint64_t>& counter_;
  std::size_t count_ = 0;
};

CClusterRegistry::CClusterRegistry(const ClusterConfig& config, ClusterRegistryHooks hooks)
    : config_(config), hooks_(std::move(hooks)) {}

CClusterRegistry::~CClusterRegistry() { Stop(); }

void CClusterRegistry::Start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] {
    platform::NameCurrentThread("velmo-registry");
    owner_.Bind();
    Run();
  });
}

void CClusterRegistry::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void CClusterRegistry::Registered(const std::string& sn) { Queue(Op::Register, sn); }

void CClusterRegistry::Disconnected(const std::string& sn) { Queue(Op::Unregister, sn); }

void CClusterRegistry::Queue(Op::Kind kind, const std::string& sn) {
  if (sn.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stop_) return;
    queue_.push_back(Op{kind, sn, nullptr, nullptr});
  }
  wake_.notify_one();
}

void CClusterRegistry::Lookup(const std::string& sn, LookupDone done) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Unreachable (or stopping): held nowhere, at once.
    if (!stop_ && up_.load() && !sn.empty()) {
      queue_.push_back(Op{Op::Lookup, sn, std::move(done), nullptr});
      done = nullptr;
    }
  }
  if (done) return done(std::nullopt);
  wake_.notify_one();
}

void CClusterRegistry::ReadNodes(std::function<void(std::vector<NodeRecord>)> done) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stop_ && up_.load()) {
      queue_.push_back(Op{Op::Nodes, "", nullptr, std::move(done)});
      done = nullptr;
    }
  }
  if (done) return done(Nodes());
  wake_.notify_one();
}

std::vector<NodeRecord> CClusterRegistry::Nodes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<NodeRecord> out;
  for (const auto& [id, address] : nodes_) out.push_back(NodeRecord{id, address});
  return out;
}

void CClusterRegistry::FailLookups(std::deque<Op>& ops) {
  for (Op& op : ops) {
    // A registration that did not reach Redis is made again once it can be
    // reached: the refresh alone would not take an SN back from another node.
    if (op.kind == Op::Register) unwritten_.insert(op.sn);
    if (op.kind == Op::Unregister) unwritten_.erase(op.sn);
    if (op.kind == Op::Lookup && op.done) op.done(std::nullopt);
    if (op.kind == Op::Nodes && op.nodes) {
      auto nodes = std::move(op.nodes);
      op.nodes = nullptr;
      nodes(Nodes());
    }
  }
  ops.clear();
}

bool CClusterRegistry::Connect(std::string* why) {
  owner_.Check("CClusterRegistry::Connect");
  redisContext* c =
      redisConnectWithTimeout(config_.redisHost.c_str(), config_.redisPort, ToTimeval(config_.timing.callTimeout));
  if (!c || c->err) {
    *why = c ? c->errstr : "out of memory";
    if (c) redisFree(c);
    return false;
  }
  redisSetTimeout(c, ToTimeval(config_.timing.callTimeout));
  {
    // A Redis that asks for a password, or is still loading, refuses
    // everything: it is not reachable for Velmo.
    Reply r(static_cast<redisReply*>(redisCommand(c, "PING")));
    if (!r || r->type == REDIS_REPLY_ERROR) {
      *why = r ? std::string(r->str, r->len) : std::string(c->errstr);
      redisFree(c);
      return false;
    }
  }
  if (config_.redisDb != 0) {
    Reply r(static_cast<redisReply*>(redisCommand(c, "SELECT %u", config_.redisDb)));
    if (!r || r->type == REDIS_REPLY_ERROR) {
      *why = r ? std::string(r->str, r->len) : std::string(c->errstr);
      redisFree(c);
      return false;
    }
  }
  redis_ = c;
  return true;
}

void CClusterRegistry::Drop(const std::string& why) {
  if (redis_) redisFree(redis_);
  redis_ = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    up_ = false;
  }
  if (!lostLogged_) {
    lostLogged_ = true;
    hooks_.log("Cluster registry lost: " + why);
  }
}

void CClusterRegistry::Run() {
  owner_.Check("CClusterRegistry::Run");
  const auto& t = config_.timing;
  auto nextRefresh = Clock::now();
  auto nextNode = Clock::now();
  auto nextRetry = Clock::now();
  for (;;) {
    std::deque<Op> ops;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      auto due = redis_ ? std::min(nextRefresh, nextNode) : nextRetry;
      wake_.wait_until(lock, due, [&] { return stop_ || !queue_.empty(); });
      if (stop_) {
        ops.swap(queue_);
        lock.unlock();
        FailLookups(ops);
        break;
      }
      ops.swap(queue_);
    }
    std::string why;
    if (!redis_) {
      if (Clock::now() < nextRetry) {
        FailLookups(ops);  // writes too: the next connection writes every device again
        continue;
      }
      if (!Connect(&why)) {
        nextRetry = Clock::now() + t.retryInterval;
        Drop(why);
        FailLookups(ops);
        continue;
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        up_ = true;
      }
      if (lostLogged_) hooks_.log("Cluster registry back");
      lostLogged_ = false;
      nextRefresh = nextNode = Clock::now();  // every device and this node's record, now
      // Registrations made meanwhile, as the most recent ones.
      for (const std::string& sn : unwritten_) {
        if (hooks_.heldHere(sn)) ops.push_front(Op{Op::Register, sn, nullptr, nullptr});
      }
      unwritten_.clear();
    }
    const auto now = Clock::now();
    const bool refresh = now >= nextRefresh;
    const bool node = now >= nextNode;
    if (!Exchange(ops, refresh, node, &why)) {
      nextRetry = Clock::now() + t.retryInterval;
      Drop(why);
      FailLookups(ops);
      continue;
    }
    if (refresh) nextRefresh = now + t.refreshInterval;
    if (node) nextNode = now + t.nodeInterval;
  }
  if (redis_) RemoveOwnEntries();
  if (redis_) redisFree(redis_);
  redis_ = nullptr;
  up_ = false;
}

bool CClusterRegistry::Exchange(std::deque<Op>& ops, bool refresh, bool node, std::string* why) {
  owner_.Check("CClusterRegistry::Exchange");
  const std::string& me = config_.nodeId;
  const std::string ttl = std::to_string(config_.timing.entryTtl.count());
  Pipeline p(redis_, commands_);
  // The order of the replies: the ops, then the refresh chunks, then the node's record.
  std::vector<std::string> keys;  // live until the commands are appended
  keys.reserve(ops.size());
  std::vector<bool> skipped(ops.size(), false);
  for (std::size_t i = 0; i < ops.size(); ++i) {
    Op& op = ops[i];
    keys.push_back(SnKey(op.sn));
    switch (op.kind) {
      case Op::Register:
        p.Add({"SET", keys.back(), me, "PX", ttl});
        break;
      case Op::Unregister:
        // Another connection here still holds the SN: its entry stays.
        if (hooks_.heldHere(op.sn)) {
          skipped[i] = true;
          break;
        }
        p.Add({"EVAL", kRemoveScript, "1", keys.back(), me});
        break;
      case Op::Lookup:
        p.Add({"GET", keys.back()});
        break;
      case Op::Nodes:
        skipped[i] = true;  // answered with the node records below
        node = true;
        break;
    }
  }
  std::size_t chunks = 0;
  std::vector<std::string> refreshKeys;
  if (refresh) {
    for (const std::string& sn : hooks_.localSns()) refreshKeys.push_back(SnKey(sn));
    for (std::size_t at = 0; at < refreshKeys.size(); at += kRefreshChunk) {
      const std::size_t n = std::min(kRefreshChunk, refreshKeys.size() - at);
      const std::string count = std::to_string(n);
      std::vector<std::string_view> args{"EVAL", kRefreshScript, count};
      for (std::size_t k = at; k < at + n; ++k) args.push_back(refreshKeys[k]);
      args.push_back(ttl);
      args.push_back(me);
      p.Add(args);
      ++chunks;
    }
  }
  const std::string nodeKey = NodeKey(me);
  const std::string address = node ? hooks_.advertise() : "";
  const std::string nodeTtl = std::to_string(config_.timing.nodeTtl.count());
  if (node) {
    p.Add({"SET", nodeKey, address, "PX", nodeTtl});
    p.Add({"SADD", "velmo:nodes", me});
    p.Add({"SMEMBERS", "velmo:nodes"});
  }
  if (p.Count() == 0) return true;
  ++roundTrips_;

  std::vector<std::string> lookupIds(ops.size());
  for (std::size_t i = 0; i < ops.size(); ++i) {
    if (skipped[i]) continue;
    Reply r = p.Next(why);
    if (!r) return false;
    if (ops[i].kind == Op::Lookup && r->type == REDIS_REPLY_STRING) lookupIds[i].assign(r->str, r->len);
  }
  for (std::size_t c = 0; c < chunks; ++c) {
    if (!p.Next(why)) return false;
  }
  std::vector<std::string> members;
  if (node) {
    for (int k = 0; k < 2; ++k) {
      if (!p.Next(why)) return false;
    }
    Reply r = p.Next(why);
    if (!r) return false;
    if (r->type == REDIS_REPLY_ARRAY) {
      for (std::size_t k = 0; k < r->elements; ++k) {
        if (r->element[k]->type == REDIS_REPLY_STRING) members.emplace_back(r->element[k]->str, r->element[k]->len);
      }
    }
    RefreshNodes(members, why);
    if (!redis_) return false;
  }
  // Answer the look-ups; a node not known yet is read once.
  for (std::size_t i = 0; i < ops.size(); ++i) {
    if (ops[i].kind == Op::Nodes) {
      auto nodes = std::move(ops[i].nodes);
      ops[i].nodes = nullptr;
      nodes(Nodes());
    }
    if (ops[i].kind != Op::Lookup) continue;
    const std::string& id = lookupIds[i];
    LookupDone done = std::move(ops[i].done);
    ops[i].done = nullptr;  // answered: a failure further on does not answer it again
    if (id.empty() || id == me) {
      done(std::nullopt);
      continue;
    }
    done(Holder(id));
    if (!redis_) return false;
  }
  ops.clear();
  return true;
}

std::optional<NodeRecord> CClusterRegistry::Holder(const std::string& id) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = nodes_.find(id);
    if (found != nodes_.end()) return NodeRecord{id, found->second};
  }
  ++commands_;
  ++roundTrips_;
  const std::string key = NodeKey(id);
  Reply r(static_cast<redisReply*>(redisCommand(redis_, "GET %b", key.data(), key.size())));
  if (!r) {
    Drop(redis_->errstr[0] ? redis_->errstr : "no reply");
    return std::nullopt;
  }
  if (r->type != REDIS_REPLY_STRING) return std::nullopt;  // its record expired: the node is gone
  std::string address(r->str, r->len);
  std::lock_guard<std::mutex> lock(mutex_);
  nodes_[id] = address;
  return NodeRecord{id, std::move(address)};
}

void CClusterRegistry::RefreshNodes(const std::vector<std::string>& members, std::string* why) {
  if (members.empty()) return;
  Pipeline p(redis_, commands_);
  std::vector<std::string> keys;
  for (const std::string& id : members) keys.push_back(NodeKey(id));
  std::vector<std::string_view> args{"MGET"};
  for (const std::string& k : keys) args.push_back(k);
  p.Add(args);
  ++roundTrips_;
  Reply r = p.Next(why);
  if (!r) return Drop(*why);
  if (r->type != REDIS_REPLY_ARRAY || r->elements != members.size()) return;
  std::map<std::string, std::string> live;
  std::vector<std::string> gone;
  for (std::size_t k = 0; k < members.size(); ++k) {
    const redisReply* e = r->element[k];
    if (e->type == REDIS_REPLY_STRING) {
      live[members[k]].assign(e->str, e->len);
    } else {
      gone.push_back(members[k]);
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    nodes_ = std::move(live);
  }
  if (gone.empty()) return;
  Pipeline drop(redis_, commands_);
  std::vector<std::string_view> srem{"SREM", "velmo:nodes"};
  for (const std::string& id : gone) srem.push_back(id);
  drop.Add(srem);
  ++roundTrips_;
  if (!drop.Next(why)) Drop(*why);
}

void CClusterRegistry::RemoveOwnEntries() {
  owner_.Check("CClusterRegistry::RemoveOwnEntries");
  const std::string& me = config_.nodeId;
  Pipeline p(redis_, commands_);
  std::vector<std::string> keys;
  for (const std::string& sn : hooks_.localSns()) keys.push_back(SnKey(sn));
  for (const std::string& key : keys) p.Add({"EVAL", kRemoveScript, "1", key, me});
  const std::string nodeKey = NodeKey(me);
  p.Add({"DEL", nodeKey});
  p.Add({"SREM", "velmo:nodes", me});
  std::string why;
  for (std::size_t i = 0; i < p.Count(); ++i) {
    if (!p.Next(&why)) return;
  }
}

}  // namespace velmo
