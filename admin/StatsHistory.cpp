#include "admin/StatsHistory.h"

namespace velmo {

bool CStatsHistory::Due(std::int64_t atMs) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return samples_.empty() || atMs - samples_.back().atMs >= interval_.count();
}

void CStatsHistory::Add(const StatsSample& sample) {
  std::lock_guard<std::mutex> lock(mutex_);
  samples_.push_back(sample);
  while (samples_.size() > capacity_) samples_.pop_front();
}

std::vector<StatsSample> CStatsHistory::Samples() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {samples_.begin(), samples_.end()};
}

}  // namespace velmo
