// CExecutorGate: a way into an io_context that its owner can close.
//
// Work that finishes on one thread and must continue on another (a device's
// answer going back to the HTTP thread that waits for it) is posted through the
// gate of the thread where it continues. The owner of the io_context closes
// the gate as it stops its threads; from then on Post drops the work
// instead of queuing it into a context that is about to go away. A gate never
// keeps its io_context alive.
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

namespace boost::asio {
class io_context;
}

namespace velmo::platform {

class CExecutorGate {
 public:
  explicit CExecutorGate(boost::asio::io_context& io) : io_(&io) {}
  CExecutorGate(const CExecutorGate&) = delete;
  CExecutorGate& operator=(const CExecutorGate&) = delete;

  // Queues `fn` to run on the context. Returns false, and drops `fn`, once the
  // gate is closed.
  bool Post(std::function<void()> fn);
  // Later posts are dropped. Idempotent.
  void Close();

 private:
  std::mutex mutex_;
  boost::asio::io_context* io_;  // guarded by mutex_; null once closed
};

using GatePtr = std::shared_ptr<CExecutorGate>;

}  // namespace velmo::platform
