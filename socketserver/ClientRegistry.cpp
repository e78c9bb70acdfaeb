#include "socketserver/ClientRegistry.h"

#include "socketserver/ServerClientSocket.h"

namespace velmo {

CClientRegistry& CClientRegistry::Process() {
  static CClientRegistry registry;
  return registry;
}

void CClientRegistry::Append(Ptr connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::uint64_t id = connection->Id();
  list_.emplace(id, std::move(connection));
}

CClientRegistry::Ptr CClientRegistry::RemoveById(std::uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = list_.find(id);
  if (it == list_.end()) return nullptr;
  Ptr found = std::move(it->second);
  list_.erase(it);
  return found;
}

CClientRegistry::Ptr CClientRegistry::RemoveByPointer(const CServerClientSocket* connection) {
  return connection ? RemoveById(connection->Id()) : nullptr;
}

CClientRegistry::Ptr CClientRegistry::RemoveFirst() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (list_.empty()) return nullptr;
  Ptr first = std::move(list_.begin()->second);
  list_.erase(list_.begin());
  return first;
}

CClientRegistry::Ptr CClientRegistry::FindBySn(std::string_view sn) const {
  if (sn.empty()) return nullptr;  // unregistered connections hold "" and are never a target
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& entry : list_) {
    if (entry.second->SnEquals(sn)) return entry.second;
  }
  return nullptr;
}

std::vector<CClientRegistry::Ptr> CClientRegistry::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Ptr> out;
  out.reserve(list_.size());
  for (const auto& entry : list_) out.push_back(entry.second);
  return out;
}

std::size_t CClientRegistry::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return list_.size();
}

}  // namespace velmo
