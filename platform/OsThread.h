// OsThread: an operating-system thread that is created parked and runs its body
// only once Resume() is called (the "created suspended" thread of Velmo's design).
//
//   Create()  -> the OS thread exists, parked; creation failure is reported here
//   Resume()  -> the body starts
//   Join()    -> waits without time-out; a parked thread is released without
//                running its body, so tearing down a never-resumed thread never hangs
//
// Thread safety: Create, Resume and Join are called by the owner's thread only.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <pthread.h>

namespace velmo::platform {

class OsThread {
 public:
  OsThread() = default;
  ~OsThread();  // Join()
  OsThread(const OsThread&) = delete;
  OsThread& operator=(const OsThread&) = delete;

  // Creates the parked thread. `priority` follows the Windows scale (-2..2,
  // above 0 is more urgent) and is applied best effort; `stackBytes` 0 means the
  // default. Returns false, with nothing created, when the system has no thread
  // left to give.
  bool Create(std::function<void()> body, int priority, std::size_t stackBytes = 0);
  bool IsCreated() const { return created_; }

  // Starts the body. Returns false when the thread was never created or was
  // already resumed.
  bool Resume();

  // Waits for the thread to end (no time-out). Safe to call more than once.
  void Join();

  // Test seam: the next `count` calls of Create() fail as if the system had no
  // threads left. Process-wide; for tests only.
  static void FailNextCreatesForTesting(int count);

 private:
  enum class Gate { Parked, Run, Abandon };
  static void* Entry(void* self);

  pthread_t handle_{};
  bool created_ = false;
  bool joined_ = false;
  int priority_ = 0;
  std::function<void()> body_;
  std::mutex mutex_;
  std::condition_variable cv_;
  Gate gate_ = Gate::Parked;  // guarded by mutex_
};

}  // namespace velmo::platform
