// CClientRegistry: one device server's list of connections, oldest first,
// with an index by SN.
//
//   list_   id -> connection           every connection, in creation order
//   bySn_   SN -> ids, oldest first    every connection that registered an SN
//
// The index keeps no copy of an SN: its key is a view of the SN the oldest
// holder stores itself (a connection's SN changes only under this lock, and
// leaves the index first), so it costs a few dozen bytes a device.
//
// A look-up by SN costs the same whatever the fleet: the index names the
// oldest registered connection with that SN (the rule every route follows).
// Every change that a listing can see (a connection added or removed, an SN
// set or changed) moves Version() on, so a listing built once can be shared
// until the next change.
//
// One lock guards both for each walk and each change. Connections are added
// and removed on the window thread; their SNs change on their I/O threads
// (CServerClientSocket::SetSn stores them here); look-ups and
// walks come from any thread. A connection found here is handed out as a
// std::shared_ptr, so it stays valid after the lock is released even if the
// window thread removes and tears it down meanwhile.
//
// Lock order: registry lock, then a connection's SN lock. Never take the
// registry lock while holding a connection's SN lock.
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velmo {

class CServerClientSocket;

class CClientRegistry {
 public:
  using Ptr = std::shared_ptr<CServerClientSocket>;

  CClientRegistry() = default;
  CClientRegistry(const CClientRegistry&) = delete;
  CClientRegistry& operator=(const CClientRegistry&) = delete;

  // Adds the connection (indexed by its SN as it is now).
  void Append(Ptr connection);
  // Removes the connection with `id`; returns it, or null when absent.
  Ptr RemoveById(std::uint64_t id);
  // Removes the entry holding `connection`; returns it, or null when absent.
  Ptr RemoveByPointer(const CServerClientSocket* connection);
  // Removes and returns the oldest entry, or null when the list is empty.
  Ptr RemoveFirst();
  // The oldest connection whose whole SN equals `sn`; null if none. An empty
  // `sn` matches nothing.
  Ptr FindBySn(std::string_view sn) const;
  // The connections in list order.
  std::vector<Ptr> Snapshot() const;
  std::size_t Size() const;
  // Connections with an SN, and without one; both at one moment.
  std::size_t CountWithSn() const;
  std::size_t CountNoSn() const;
  struct Counts {
    std::size_t clients = 0;  // without an SN
    std::size_t devices = 0;  // with one
  };
  Counts CountBoth() const;
  // Moves on with every change a listing can see.
  std::uint64_t Version() const { return version_.load(std::memory_order_acquire); }

  // Calls fn(const CServerClientSocket&) for each entry in order, under the lock.
  // fn must be short and must not call back into the registry.
  template <class Fn>
  void ForEach(Fn&& fn) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : list_) fn(static_cast<const CServerClientSocket&>(*entry.second.conn));
  }
  // Calls visit(sn) for each connection with an SN, in list order, under the
  // lock, until it returns false; reads no connection (the SNs are the
  // index's). Returns the Version() the walk saw.
  std::uint64_t VisitSns(const std::function<bool(std::string_view sn)>& visit) const;

  // Stores `sn` as the connection's SN and indexes it (for a connection in
  // the list); returns the SN it had. Called by the connection's SetSn.
  std::string ChangeSn(CServerClientSocket& connection, const std::string& sn);

 private:
  struct Entry {
    Ptr conn;
    bool indexed = false;  // its SN is in bySn_
  };
  // Ids of the connections holding one SN, oldest first (almost always one).
  struct Holders {
    std::uint64_t first = 0;
    std::unique_ptr<std::vector<std::uint64_t>> more;  // ascending, after `first`; null when none
  };

  // The connection's SN as stored (under the lock: it changes only under it).
  static std::string_view StoredSn(const Entry& entry);
  void IndexLocked(std::uint64_t id, Entry& entry);
  void UnindexLocked(std::uint64_t id, Entry& entry);
  Ptr EraseLocked(std::map<std::uint64_t, Entry>::iterator it);

  // Looks SNs up without copying them into a std::string.
  struct SnHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view sn) const { return std::hash<std::string_view>{}(sn); }
  };

  mutable std::mutex mutex_;
  std::map<std::uint64_t, Entry> list_;  // by id: oldest first; guarded by mutex_
  // Keyed by a view of the first holder's own SN; guarded by mutex_.
  std::unordered_map<std::string_view, Holders, SnHash> bySn_;
  std::size_t withSn_ = 0;                           // guarded by mutex_
  std::atomic<std::uint64_t> version_{0};            // written under mutex_
};

}  // namespace velmo
