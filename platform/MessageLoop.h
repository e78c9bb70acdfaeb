// MessageLoop: the window thread's message queue, with message targets that
// stand in for hidden windows.
//
//   other threads --Post(target, msg, w, l)--> [ bounded queue ] --> handler of target
//                                                    (runs on the loop thread)
//
// - The queue is bounded (10 000 messages by default): Post answers QueueFull
//   instead of blocking, and NoTarget once the target has been destroyed.
// - DestroyTarget discards every message still queued for the target, so a
//   handler never runs for a destroyed target.
// - Remove(target, msg) takes queued messages of one number out (peek-and-remove);
//   it only works on the loop thread and removes nothing elsewhere.
// - Messages are taken out one at a time and run with no lock held, so a handler
//   may post, create or destroy targets, or remove messages. Posting never
//   waits: a full queue is answered at once, so a handler that posts to its own
//   loop cannot wait on itself.
// - Timers run on the loop too.
// - WakeFd() becomes readable whenever work is queued; a foreign event loop (Qt)
//   watches it and calls ProcessPending(); headless, Run() does both.
//
// Thread safety: Post, PostTask, CreateTarget, DestroyTarget, Quit and
// QuitFromSignal may be called from any thread (QuitFromSignal from a signal
// handler). Everything else belongs to the loop thread, the thread that called
// BindToCurrentThread(); AssertInLoopThread() aborts, in every build, when
// called elsewhere.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/ThreadCheck.h"

namespace velmo::platform {

using TargetId = std::uint64_t;  // 0 names no target
using TimerId = std::uint32_t;

enum class PostResult { Ok, QueueFull, NoTarget };

struct Message {
  TargetId target = 0;
  std::uint32_t msg = 0;
  std::uintptr_t wParam = 0;
  std::uintptr_t lParam = 0;
};

using MessageHandler = std::function<void(std::uint32_t msg, std::uintptr_t wParam, std::uintptr_t lParam)>;

class MessageLoop {
 public:
  static constexpr std::size_t kDefaultQueueLimit = 10000;

  explicit MessageLoop(std::size_t queueLimit = kDefaultQueueLimit);
  ~MessageLoop();
  MessageLoop(const MessageLoop&) = delete;
  MessageLoop& operator=(const MessageLoop&) = delete;

  // Makes the calling thread the loop thread.
  void BindToCurrentThread();
  bool IsLoopThread() const { return owner_.IsCurrent(); }
  // Aborts with a message naming both threads unless called on the loop thread.
  void AssertInLoopThread(const char* what) const { owner_.Check(what); }

  // Any thread. Returns the new target's id (never 0); its handler runs on the
  // loop thread.
  TargetId CreateTarget(MessageHandler handler);
  // Any thread. Discards the target's queued messages; later posts get
  // NoTarget. A handler already running on the loop thread finishes.
  void DestroyTarget(TargetId target);

  // Any thread. Queues one message for the target.
  PostResult Post(TargetId target, std::uint32_t msg, std::uintptr_t wParam, std::uintptr_t lParam);
  // Any thread. Queues a function to run on the loop thread; same bound as Post.
  PostResult PostTask(std::function<void()> task);

  // Loop thread: takes every queued message `msg` for `target` out of the queue
  // and returns them in queue order. On any other thread: removes nothing.
  std::vector<Message> Remove(TargetId target, std::uint32_t msg);

  // Loop thread. Calls `fn` every `period` on the loop until killed.
  TimerId SetTimer(std::chrono::milliseconds period, std::function<void()> fn);
  void KillTimer(TimerId id);

  // Loop thread: runs the messages queued at the time of the call and the timers
  // that are due. Returns the milliseconds until the next timer is due (-1: none);
  // `handled` (when given) receives the number of messages and tasks run.
  int ProcessPending(std::size_t* handled = nullptr);

  // Loop thread: processes messages and timers until Quit(). After a round
  // that handled messages it waits `batchDelay` before looking again, so that
  // under load many messages are handled per wake-up; an idle loop still
  // wakes at once for the first message.
  void Run(std::chrono::microseconds batchDelay = std::chrono::microseconds(0));
  // Any thread: makes Run() return after the message it is handling.
  void Quit();
  // Async-signal-safe Quit().
  void QuitFromSignal();
  // Async-signal-safe: raises `flags` (bits) and wakes the loop, which hands
  // every flag raised since its last look to the SetSignalHandler handler.
  void RaiseFromSignal(std::uint32_t flags);
  // The thread that runs the loop, before or while it runs: what runs, on the
  // loop thread, for flags raised by signals.
  void SetSignalHandler(std::function<void(std::uint32_t)> handler);
  bool QuitRequested() const { return quit_.load(); }

  int WakeFd() const { return wakeFd_; }
  std::size_t QueuedCount() const;

 private:
  struct Item {
    Message m;
    std::function<void()> task;  // set for PostTask items (target 0)
  };
  struct Timer {
    TimerId id;
    std::chrono::milliseconds period;
    std::chrono::steady_clock::time_point due;
    std::shared_ptr<std::function<void()>> fn;
  };

  PostResult Enqueue(Item item);
  void Wake();
  void DrainWakeFd();
  int RunDueTimers();

  const std::size_t queueLimit_;
  int wakeFd_ = -1;
  CThreadOwner owner_;
  std::atomic<bool> quit_{false};
  std::atomic<std::uint32_t> raised_{0};              // lock-free: set from signal handlers
  std::function<void(std::uint32_t)> signalHandler_;  // loop thread

  mutable std::mutex mutex_;
  std::deque<Item> queue_;                                               // guarded by mutex_
  std::unordered_map<TargetId, std::shared_ptr<MessageHandler>> targets_;  // guarded by mutex_
  TargetId nextTarget_ = 1;                                              // guarded by mutex_

  // loop thread only
  std::vector<Timer> timers_;
  TimerId nextTimer_ = 1;
};

}  // namespace velmo::platform
