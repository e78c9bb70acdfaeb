// CClientRegistry: the one process-wide list of connections, oldest first.
//
// One lock guards the list for each walk and each change. Changes (append,
// remove) are made on the window thread; walks come from the window thread,
// I/O threads and the HTTP thread. A connection found here is handed out as a
// std::shared_ptr, so it stays valid after the lock is released even if the
// window thread removes and tears it down meanwhile. Connections are kept by
// their id, which grows with their creation, so the order of the ids is the
// order of the list.
//
// Lock order: registry lock, then a connection's SN lock (inside walks). Never
// take the registry lock while holding a connection's SN lock.
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

namespace velmo {

class CServerClientSocket;

class CClientRegistry {
 public:
  using Ptr = std::shared_ptr<CServerClientSocket>;

  // The process-wide list.
  static CClientRegistry& Process();

  void Append(Ptr connection);
  // Removes the connection with `id`; returns it, or null when absent.
  Ptr RemoveById(std::uint64_t id);
  // Removes the entry holding `connection`; returns it, or null when absent.
  Ptr RemoveByPointer(const CServerClientSocket* connection);
  // Removes and returns the oldest entry, or null when the list is empty.
  Ptr RemoveFirst();
  // The first connection, in list order, whose whole SN equals `sn`; null if
  // none. An empty `sn` matches nothing.
  Ptr FindBySn(std::string_view sn) const;
  // The connections in list order.
  std::vector<Ptr> Snapshot() const;
  std::size_t Size() const;

  // Calls fn(const CServerClientSocket&) for each entry in order, under the lock.
  // fn must be short and must not call back into the registry.
  template <class Fn>
  void ForEach(Fn&& fn) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : list_) fn(static_cast<const CServerClientSocket&>(*entry.second));
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::uint64_t, Ptr> list_;  // by id: oldest first; guarded by mutex_
};

}  // namespace velmo
