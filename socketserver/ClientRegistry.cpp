#include "socketserver/ClientRegistry.h"

#include <algorithm>

#include "socketserver/ServerClientSocket.h"

namespace velmo {

void CClientRegistry::IndexLocked(std::uint64_t id, Entry& entry, const std::string& sn) {
  if (sn.empty()) return;
  auto [it, added] = bySn_.try_emplace(sn);
  Holders& h = it->second;
  if (added) {
    h.first = id;
  } else if (id < h.first) {
    h.more.insert(h.more.begin(), h.first);
    h.first = id;
  } else {
    h.more.insert(std::upper_bound(h.more.begin(), h.more.end(), id), id);
  }
  entry.sn = &it->first;
  ++withSn_;
}

void CClientRegistry::UnindexLocked(std::uint64_t id, Entry& entry) {
  if (!entry.sn) return;
  auto it = bySn_.find(*entry.sn);
  entry.sn = nullptr;
  --withSn_;
  if (it == bySn_.end()) return;
  Holders& h = it->second;
  if (h.first == id) {
    if (h.more.empty()) {
      bySn_.erase(it);
      return;
    }
    h.first = h.more.front();
    h.more.erase(h.more.begin());
  } else {
    auto at = std::lower_bound(h.more.begin(), h.more.end(), id);
    if (at != h.more.end() && *at == id) h.more.erase(at);
  }
}

void CClientRegistry::Append(Ptr connection) {
  const std::uint64_t id = connection->Id();
  std::lock_guard<std::mutex> lock(mutex_);
  auto [it, added] = list_.try_emplace(id);
  if (!added) return;
  const std::string sn = connection->GetSn();  // under the lock: SN changes wait for it
  it->second.conn = std::move(connection);
  IndexLocked(id, it->second, sn);
  version_.fetch_add(1, std::memory_order_release);
}

CClientRegistry::Ptr CClientRegistry::EraseLocked(std::map<std::uint64_t, Entry>::iterator it) {
  UnindexLocked(it->first, it->second);
  Ptr found = std::move(it->second.conn);
  list_.erase(it);
  version_.fetch_add(1, std::memory_order_release);
  return found;
}

CClientRegistry::Ptr CClientRegistry::RemoveById(std::uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = list_.find(id);
  return it == list_.end() ? nullptr : EraseLocked(it);
}

CClientRegistry::Ptr CClientRegistry::RemoveByPointer(const CServerClientSocket* connection) {
  return connection ? RemoveById(connection->Id()) : nullptr;
}

CClientRegistry::Ptr CClientRegistry::RemoveFirst() {
  std::lock_guard<std::mutex> lock(mutex_);
  return list_.empty() ? nullptr : EraseLocked(list_.begin());
}

CClientRegistry::Ptr CClientRegistry::FindBySn(std::string_view sn) const {
  if (sn.empty()) return nullptr;  // unregistered connections hold "" and are never a target
  std::lock_guard<std::mutex> lock(mutex_);
  auto holders = bySn_.find(sn);
  if (holders == bySn_.end()) return nullptr;
  auto entry = list_.find(holders->second.first);
  return entry == list_.end() ? nullptr : entry->second.conn;
}

std::string CClientRegistry::ChangeSn(CServerClientSocket& connection, const std::string& sn) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string previous = connection.StoreSn(sn);
  auto it = list_.find(connection.Id());
  if (it != list_.end() && previous != sn) {
    UnindexLocked(it->first, it->second);
    IndexLocked(it->first, it->second, sn);
    version_.fetch_add(1, std::memory_order_release);
  }
  return previous;
}

std::uint64_t CClientRegistry::VisitSns(const std::function<bool(std::string_view sn)>& visit) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [id, entry] : list_) {
    if (entry.sn && !visit(*entry.sn)) break;
  }
  return version_.load(std::memory_order_relaxed);
}

std::vector<CClientRegistry::Ptr> CClientRegistry::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Ptr> out;
  out.reserve(list_.size());
  for (const auto& entry : list_) out.push_back(entry.second.conn);
  return out;
}

std::size_t CClientRegistry::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return list_.size();
}

std::size_t CClientRegistry::CountWithSn() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return withSn_;
}

CClientRegistry::Counts CClientRegistry::CountBoth() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Counts{list_.size() - withSn_, withSn_};
}

std::size_t CClientRegistry::CountNoSn() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return list_.size() - withSn_;
}

}  // namespace velmo
