#include "socketserver/ClientRegistry.h"

#include <algorithm>

#include "socketserver/ServerClientSocket.h"

namespace velmo {

std::string_view CClientRegistry::StoredSn(const Entry& entry) { return entry.conn->sn_; }

void CClientRegistry::IndexLocked(std::uint64_t id, Entry& entry) {
  const std::string_view sn = StoredSn(entry);
  if (sn.empty()) return;
  auto [it, added] = bySn_.try_emplace(sn);
  Holders& h = it->second;
  if (added) {
    h.first = id;
  } else {
    if (!h.more) h.more = std::make_unique<std::vector<std::uint64_t>>();
    if (id < h.first) {
      h.more->insert(h.more->begin(), h.first);
      h.first = id;
    } else {
      h.more->insert(std::upper_bound(h.more->begin(), h.more->end(), id), id);
    }
  }
  entry.indexed = true;
  ++withSn_;
}

void CClientRegistry::UnindexLocked(std::uint64_t id, Entry& entry) {
  if (!entry.indexed) return;
  entry.indexed = false;
  --withSn_;
  const std::string_view sn = StoredSn(entry);
  auto it = bySn_.find(sn);
  if (it == bySn_.end()) return;
  Holders& h = it->second;
  if (h.first == id) {
    if (!h.more || h.more->empty()) {
      bySn_.erase(it);
      return;
    }
    h.first = h.more->front();
    h.more->erase(h.more->begin());
  } else if (h.more) {
    auto at = std::lower_bound(h.more->begin(), h.more->end(), id);
    if (at != h.more->end() && *at == id) h.more->erase(at);
  }
  if (h.more && h.more->empty()) h.more.reset();
  // The key may be a view of this connection's own SN, which is about to
  // change or go: it becomes a view of the SN of a holder that stays.
  if (it->first.data() == sn.data()) {
    auto node = bySn_.extract(it);
    node.key() = StoredSn(list_.at(node.mapped().first));
    bySn_.insert(std::move(node));
  }
}

void CClientRegistry::Append(Ptr connection) {
  const std::uint64_t id = connection->Id();
  std::lock_guard<std::mutex> lock(mutex_);
  auto [it, added] = list_.try_emplace(id);
  if (!added) return;
  it->second.conn = std::move(connection);
  IndexLocked(id, it->second);  // under the lock: SN changes wait for it
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
  auto it = list_.find(connection.Id());
  const bool listed = it != list_.end() && it->second.conn.get() == &connection;
  if (listed) UnindexLocked(it->first, it->second);  // before the SN it is keyed by changes
  std::string previous = connection.StoreSn(sn);
  if (listed) {
    IndexLocked(it->first, it->second);
    if (previous != sn) version_.fetch_add(1, std::memory_order_release);
  }
  return previous;
}

std::uint64_t CClientRegistry::VisitSns(const std::function<bool(std::string_view sn)>& visit) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [id, entry] : list_) {
    if (entry.indexed && !visit(StoredSn(entry))) break;
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
