// StopSignal: a one-way flag (0 -> 1) that a sleeping thread can wait on.
//
// Thread safety: every member may be called from any thread. Set() wakes every
// thread blocked in WaitFor() at once, so a worker that sleeps between checks
// ends within its next check instead of after its full sleep.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace velmo::platform {

class StopSignal {
 public:
  StopSignal() = default;
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  // Sets the flag; it never goes back to 0. Wakes every waiter.
  void Set();
  bool IsSet() const { return flag_.load(std::memory_order_acquire); }

  // Sleeps up to `timeout`; returns true at once when the flag is (or becomes) set.
  bool WaitFor(std::chrono::milliseconds timeout) const;

 private:
  std::atomic<bool> flag_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
};

}  // namespace velmo::platform
