// CThread: base of the device server's worker threads (accept, receive, monitor).
//
// The OS thread is created, parked, by the constructor; Resume() starts Run().
// Stop protocol (owner, on the window thread): wake the thread's blocking call
// (shut its socket down; the monitor's sleep wakes by itself), RequestStop(),
// Join() without time-out, then destroy the object. A thread that was never
// resumed is released by Join() without running.
//
// Thread safety: RequestStop, IsStopRequested and StopFlag may be used from any
// thread; Resume and Join belong to the owner.
#pragma once

#include <cstddef>

#include "platform/OsThread.h"
#include "platform/StopSignal.h"

namespace velmo {

class CThread {
 public:
  // Creates the parked OS thread with `priority` (Windows scale, best effort).
  // Check IsCreated(): creation fails when the system has no thread left.
  CThread(int priority, std::size_t stackBytes = kDefaultStackBytes);
  virtual ~CThread();
  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;

  static constexpr std::size_t kDefaultStackBytes = 256 * 1024;

  bool IsCreated() const { return thread_.IsCreated(); }
  bool Resume() { return thread_.Resume(); }
  void RequestStop() { stop_.Set(); }
  bool IsStopRequested() const { return stop_.IsSet(); }
  const platform::StopSignal& StopFlag() const { return stop_; }
  // Waits for Run() to return (or releases a never-resumed thread).
  void Join() { thread_.Join(); }

 protected:
  virtual void Run() = 0;

 private:
  platform::StopSignal stop_;
  platform::OsThread thread_;
};

}  // namespace velmo
