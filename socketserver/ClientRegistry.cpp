#include "socketserver/ClientRegistry.h"

#include "socketserver/ServerClientSocket.h"

namespace velmo {

CClientRegistry& CClientRegistry::Process() {
  static CClientRegistry registry;
  return registry;
}

void CClientRegistry::Append(Ptr connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  list_.push_back(std::move(connection));
}

CClientRegistry::Ptr CClientRegistry::RemoveByPointer(const CServerClientSocket* connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = list_.begin(); it != list_.end(); ++it) {
    if (it->get() == connection) {
      Ptr found = std::move(*it);
      list_.erase(it);
      return found;
    }
  }
  return nullptr;
}

CClientRegistry::Ptr CClientRegistry::RemoveFirst() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (list_.empty()) return nullptr;
  Ptr first = std::move(list_.front());
  list_.pop_front();
  return first;
}

CClientRegistry::Ptr CClientRegistry::FindBySn(std::string_view sn) const {
  if (sn.empty()) return nullptr;  // unregistered connections hold "" and are never a target
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& c : list_) {
    if (c->SnEquals(sn)) return c;
  }
  return nullptr;
}

std::vector<CClientRegistry::Ptr> CClientRegistry::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {list_.begin(), list_.end()};
}

std::size_t CClientRegistry::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return list_.size();
}

}  // namespace velmo
