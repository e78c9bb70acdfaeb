// CHttpCounters: the requests one HTTP server was asked, by route (the
// route's path or pattern; "other" for a path it does not know). Each server
// owns one; the management port's metrics read both.
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace velmo {

class CHttpCounters {
 public:
  void Request(const std::string& route) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++requests_[route];
  }
  // By route, in order.
  std::map<std::string, std::uint64_t> Read() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::uint64_t> requests_;  // guarded by mutex_
};

}  // namespace velmo
