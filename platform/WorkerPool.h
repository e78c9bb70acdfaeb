// CWorkerPool: runs submitted jobs on up to `maxWorkers` threads, started only
// when every running worker is busy, so an idle pool costs one thread or none.
// Jobs wait in order when all workers are busy. Workers stay once started (up
// to `maxWorkers`), so a pool sized by its busiest moment keeps that many.
//
// Thread safety: Submit may be called from any thread; Stop from any thread
// but a worker's. Stop runs the jobs already submitted, then joins.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <string>

#include "platform/OsThread.h"

namespace velmo::platform {

class CWorkerPool {
 public:
  // `threadName` (up to 15 bytes; "" leaves the default) names the workers for
  // ps, top -H and debuggers.
  explicit CWorkerPool(std::size_t maxWorkers, std::string threadName = {});
  ~CWorkerPool();  // Stop()
  CWorkerPool(const CWorkerPool&) = delete;
  CWorkerPool& operator=(const CWorkerPool&) = delete;

  // Queues `job`. Returns false after Stop(), or when no worker runs and none
  // could be started (the job is then not queued).
  bool Submit(std::function<void()> job);
  void Stop();

  std::size_t Workers() const;

 private:
  void WorkerLoop();

  const std::size_t maxWorkers_;
  const std::string threadName_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;  // guarded by mutex_
  std::list<OsThread> threads_;             // guarded by mutex_
  std::size_t idle_ = 0;                    // guarded by mutex_
  bool stopping_ = false;                   // guarded by mutex_
};

}  // namespace velmo::platform
