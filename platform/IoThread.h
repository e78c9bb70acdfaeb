// CIoThread: a boost::asio::io_context and the named OS threads that run it.
//
// Velmo's device I/O runs on a fixed set of these, one thread each (the
// thread owns every connection assigned to it); blocking file work runs on one
// context shared by a few threads, serialised per connection by strands.
//
//   Start()  -> the threads run the context until Stop()
//   Stop()   -> what was queued before runs, then the threads end and are
//               joined; work queued later is never run (its handlers are
//               destroyed with the context); the gate is closed
//
// The context lives in a shared_ptr: objects that own sockets or timers of
// this context hold a reference, so the context outlives them wherever their
// last reference goes.
//
// Thread safety: Start and Stop belong to the owner (never call Stop from one
// of the threads); Context, ContextRef, Gate, IsCurrent and Owner may be used
// from any thread.
#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <cstddef>
#include <list>
#include <memory>
#include <optional>
#include <string>

#include "platform/ExecutorGate.h"
#include "platform/OsThread.h"
#include "platform/ThreadCheck.h"

namespace velmo::platform {

// Where work continues on one thread: its io_context (for timers), the gate
// into it (for completions from other threads) and its owner (for checks).
// A home holds no reference to the context: what it creates there must be
// owned by handlers of that context, so it goes when the context goes.
struct ThreadHome {
  boost::asio::io_context* io = nullptr;
  GatePtr gate;
  const CThreadOwner* owner = nullptr;
  explicit operator bool() const { return io != nullptr && gate != nullptr; }
};

class CIoThread {
 public:
  // `name` (up to 15 bytes) names the threads for ps, top -H and debuggers;
  // `threads` run the context (1 for an I/O thread that owns its objects).
  // `priority` follows the Windows scale and is applied best effort.
  explicit CIoThread(std::string name, std::size_t threads = 1, int priority = 0);
  ~CIoThread();  // Stop()
  CIoThread(const CIoThread&) = delete;
  CIoThread& operator=(const CIoThread&) = delete;

  // Starts the threads. Returns false, with none left running, when the
  // system has no thread to give.
  bool Start();
  void Stop();

  // For harnesses that run the context themselves (poll() on their own
  // thread) instead of Start(): the calling thread becomes the owner.
  void AdoptCurrentThread() { owner_.Bind(); }

  boost::asio::io_context& Context() const { return *io_; }
  const std::shared_ptr<boost::asio::io_context>& ContextRef() const { return io_; }
  const GatePtr& Gate() const { return gate_; }
  // For a one-thread context: the thread that owns what runs on it.
  const CThreadOwner& Owner() const { return owner_; }
  bool IsCurrent() const { return owner_.IsCurrent(); }
  // For a one-thread context: the thread as a home for waits that end there.
  ThreadHome Home() const { return ThreadHome{io_.get(), gate_, &owner_}; }

 private:
  const std::string name_;
  const std::size_t threadCount_;
  const int priority_;
  std::shared_ptr<boost::asio::io_context> io_;
  GatePtr gate_;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
  std::list<OsThread> threads_;
  CThreadOwner owner_;
  bool started_ = false;
  bool stopped_ = false;
};

}  // namespace velmo::platform
