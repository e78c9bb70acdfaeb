#include "platform/IoThread.h"

#include <boost/asio/post.hpp>
#include <future>
#include <pthread.h>

namespace velmo::platform {

CIoThread::CIoThread(std::string name, std::size_t threads, int priority)
    : name_(std::move(name)),
      threadCount_(threads == 0 ? 1 : threads),
      priority_(priority),
      io_(std::make_shared<boost::asio::io_context>(static_cast<int>(threadCount_))),
      gate_(std::make_shared<CExecutorGate>(*io_)) {}

CIoThread::~CIoThread() { Stop(); }

bool CIoThread::Start() {
  if (started_) return !stopped_;
  started_ = true;
  work_.emplace(io_->get_executor());
  std::string name = name_.substr(0, 15);
  for (std::size_t i = 0; i < threadCount_; ++i) {
    OsThread& t = threads_.emplace_back();
    bool created = t.Create(
        [this, name] {
          if (!name.empty()) pthread_setname_np(pthread_self(), name.c_str());
          if (threadCount_ == 1) owner_.Bind();
          io_->run();
        },
        priority_);
    if (!created) {
      threads_.pop_back();
      Stop();
      return false;
    }
  }
  for (OsThread& t : threads_) t.Resume();
  if (threadCount_ == 1) {
    // The owner is known once the thread runs: wait for it, so that checks made
    // right after Start() already name the right thread.
    std::promise<void> running;
    auto ready = running.get_future();
    boost::asio::post(*io_, [&running] { running.set_value(); });
    ready.wait();
  }
  return true;
}

void CIoThread::Stop() {
  if (!started_ || stopped_) return;
  stopped_ = true;
  // Closed first: from here on Post refuses work (and says so) rather than
  // accept work that the stopped threads would never run.
  gate_->Close();
  work_.reset();
  boost::asio::post(*io_, [io = io_.get()] { io->stop(); });
  for (OsThread& t : threads_) t.Join();
  threads_.clear();
}

}  // namespace velmo::platform
