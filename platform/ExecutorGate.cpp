#include "platform/ExecutorGate.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

namespace velmo::platform {

bool CExecutorGate::Post(std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!io_) return false;
  boost::asio::post(*io_, std::move(fn));
  return true;
}

void CExecutorGate::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  io_ = nullptr;
}

}  // namespace velmo::platform
