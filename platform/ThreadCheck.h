// Thread ownership checks that stay in every build.
//
// A class owned by one thread (the window thread, an I/O thread) binds a
// CThreadOwner to that thread and calls Check() where a call from elsewhere
// would be a silent race. A failed check prints which code ran where, naming
// both threads, and aborts: in the release build too, unlike assert().
//
// Thread safety: Bind on the owning thread; IsCurrent and Check from any thread.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace velmo::platform {

// The name of the calling thread (as ps -L shows it) and its id.
std::string CurrentThreadText();
// Names the calling thread for ps, top -H and debuggers (up to 15 bytes).
void NameCurrentThread(const std::string& name);

class CThreadOwner {
 public:
  CThreadOwner() = default;  // owned by nobody: Check() fails until Bind()
  // Makes the calling thread the owner.
  void Bind();
  bool IsCurrent() const { return id_.load(std::memory_order_relaxed) == std::this_thread::get_id(); }
  // Aborts with "velmo: <what> must run on <owner> but runs on <caller>" unless
  // the caller is the owner.
  void Check(const char* what) const {
    if (!IsCurrent()) Fail(what);
  }

 private:
  [[noreturn]] void Fail(const char* what) const;

  std::atomic<std::thread::id> id_{};
  mutable std::mutex nameLock_;
  std::string name_;  // the owner as CurrentThreadText() gave it; guarded by nameLock_
};

}  // namespace velmo::platform
