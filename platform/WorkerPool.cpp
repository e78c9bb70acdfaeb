#include "platform/WorkerPool.h"

#include <pthread.h>

namespace velmo::platform {

CWorkerPool::CWorkerPool(std::size_t maxWorkers, std::string threadName)
    : maxWorkers_(maxWorkers ? maxWorkers : 1), threadName_(threadName.substr(0, 15)) {}

CWorkerPool::~CWorkerPool() { Stop(); }

bool CWorkerPool::Submit(std::function<void()> job) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (stopping_) return false;
  if (idle_ <= jobs_.size() && threads_.size() < maxWorkers_) {
    threads_.emplace_back();
    if (threads_.back().Create([this] { WorkerLoop(); }, 0, 256 * 1024)) {
      threads_.back().Resume();
    } else {
      threads_.pop_back();
      if (threads_.empty()) return false;  // nobody could ever run it
    }
  }
  jobs_.push_back(std::move(job));
  lock.unlock();
  wake_.notify_one();
  return true;
}

void CWorkerPool::WorkerLoop() {
  if (!threadName_.empty()) pthread_setname_np(pthread_self(), threadName_.c_str());
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    ++idle_;
    wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    --idle_;
    if (jobs_.empty()) return;  // stopping, nothing left
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    job();
    lock.lock();
  }
}

void CWorkerPool::Stop() {
  std::list<OsThread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ && threads_.empty()) return;
    stopping_ = true;
  }
  wake_.notify_all();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    threads.splice(threads.end(), threads_);
  }
  for (auto& t : threads) t.Join();
}

std::size_t CWorkerPool::Workers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return threads_.size();
}

}  // namespace velmo::platform
