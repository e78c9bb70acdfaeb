#include "platform/StopSignal.h"

namespace velmo::platform {

void StopSignal::Set() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    flag_.store(true, std::memory_order_release);
  }
  cv_.notify_all();
}

bool StopSignal::WaitFor(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, timeout, [this] { return flag_.load(std::memory_order_acquire); });
}

}  // namespace velmo::platform
