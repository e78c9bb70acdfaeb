// CStatsHistory: the window's two counters over the last hour, one sample per
// interval, for the console's chart of online devices.
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace velmo {

struct StatsSample {
  std::int64_t atMs = 0;  // ms since the epoch
  int clients = 0;
  int devices = 0;
};

class CStatsHistory {
 public:
  explicit CStatsHistory(std::chrono::milliseconds interval = std::chrono::seconds(10),
                         std::size_t capacity = 360)
      : interval_(interval), capacity_(capacity) {}

  // True when a sample taken at `atMs` is due (the first, or one interval
  // after the last).
  bool Due(std::int64_t atMs) const;
  // Keeps `sample`; the oldest goes once `capacity` are kept.
  void Add(const StatsSample& sample);
  // The samples, oldest first.
  std::vector<StatsSample> Samples() const;
  std::chrono::milliseconds Interval() const { return interval_; }

 private:
  const std::chrono::milliseconds interval_;
  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::deque<StatsSample> samples_;  // guarded by mutex_
};

}  // namespace velmo
