#include "platform/MessageLoop.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace velmo::platform {

MessageLoop::MessageLoop(std::size_t queueLimit) : queueLimit_(queueLimit) {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  owner_.Bind();
}

MessageLoop::~MessageLoop() {
  if (wakeFd_ >= 0) close(wakeFd_);
}

void MessageLoop::BindToCurrentThread() { owner_.Bind(); }

TargetId MessageLoop::CreateTarget(MessageHandler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  TargetId id = nextTarget_++;
  targets_.emplace(id, std::make_shared<MessageHandler>(std::move(handler)));
  return id;
}

void MessageLoop::DestroyTarget(TargetId target) {
  if (target == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  targets_.erase(target);
  queue_.erase(std::remove_if(queue_.begin(), queue_.end(), [target](const Item& i) { return i.m.target == target; }),
               queue_.end());
}

PostResult MessageLoop::Enqueue(Item item) {
  bool wasEmpty;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (item.m.target != 0 && targets_.find(item.m.target) == targets_.end()) return PostResult::NoTarget;
    if (queue_.size() >= queueLimit_) return PostResult::QueueFull;
    wasEmpty = queue_.empty();
    queue_.push_back(std::move(item));
  }
  if (wasEmpty) Wake();
  return PostResult::Ok;
}

PostResult MessageLoop::Post(TargetId target, std::uint32_t msg, std::uintptr_t wParam, std::uintptr_t lParam) {
  if (target == 0) return PostResult::NoTarget;
  return Enqueue(Item{Message{target, msg, wParam, lParam}, nullptr});
}

PostResult MessageLoop::PostTask(std::function<void()> task) { return Enqueue(Item{Message{}, std::move(task)}); }

std::vector<Message> MessageLoop::Remove(TargetId target, std::uint32_t msg) {
  std::vector<Message> removed;
  if (!IsLoopThread()) return removed;
  std::lock_guard<std::mutex> lock(mutex_);
  auto keep = std::stable_partition(queue_.begin(), queue_.end(), [&](const Item& i) {
    return !(i.m.target == target && i.m.msg == msg && !i.task);
  });
  for (auto it = keep; it != queue_.end(); ++it) removed.push_back(it->m);
  queue_.erase(keep, queue_.end());
  return removed;
}

TimerId MessageLoop::SetTimer(std::chrono::milliseconds period, std::function<void()> fn) {
  AssertInLoopThread("MessageLoop::SetTimer");
  TimerId id = nextTimer_++;
  timers_.push_back(Timer{id, period, std::chrono::steady_clock::now() + period,
                          std::make_shared<std::function<void()>>(std::move(fn))});
  return id;
}

void MessageLoop::KillTimer(TimerId id) {
  AssertInLoopThread("MessageLoop::KillTimer");
  timers_.erase(std::remove_if(timers_.begin(), timers_.end(), [id](const Timer& t) { return t.id == id; }),
                timers_.end());
}

std::size_t MessageLoop::QueuedCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

void MessageLoop::Wake() {
  std::uint64_t one = 1;
  ssize_t rc = write(wakeFd_, &one, sizeof one);
  (void)rc;  // EAGAIN: the counter is already non-zero, which is all we need
}

void MessageLoop::DrainWakeFd() {
  std::uint64_t value;
  ssize_t rc = read(wakeFd_, &value, sizeof value);
  (void)rc;
}

int MessageLoop::RunDueTimers() {
  auto now = std::chrono::steady_clock::now();
  std::vector<std::pair<TimerId, std::shared_ptr<std::function<void()>>>> due;
  for (auto& t : timers_) {
    if (t.due <= now) {
      due.emplace_back(t.id, t.fn);
      t.due = now + t.period;
    }
  }
  for (auto& [id, fn] : due) {
    bool alive = std::any_of(timers_.begin(), timers_.end(), [id = id](const Timer& t) { return t.id == id; });
    if (alive) (*fn)();
  }
  if (timers_.empty()) return -1;
  auto next = std::min_element(timers_.begin(), timers_.end(), [](const Timer& a, const Timer& b) {
                return a.due < b.due;
              })->due;
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - std::chrono::steady_clock::now()).count();
  return ms < 0 ? 0 : static_cast<int>(ms) + 1;
}

int MessageLoop::ProcessPending(std::size_t* handled) {
  AssertInLoopThread("MessageLoop::ProcessPending");
  DrainWakeFd();
  if (const std::uint32_t flags = raised_.exchange(0); flags != 0 && signalHandler_) signalHandler_(flags);
  std::size_t ran = 0;
  std::size_t budget;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    budget = queue_.size();
  }
  while (budget-- > 0 && !quit_.load()) {
    Item item;
    std::shared_ptr<MessageHandler> handler;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_.empty()) break;
      item = std::move(queue_.front());
      queue_.pop_front();
      if (!item.task) {
        auto it = targets_.find(item.m.target);
        if (it == targets_.end()) continue;
        handler = it->second;
      }
    }
    if (item.task) {
      item.task();
    } else {
      (*handler)(item.m.msg, item.m.wParam, item.m.lParam);
    }
    ++ran;
  }
  if (handled) *handled = ran;
  {
    // Whatever arrived while we ran (or was left by the budget) wakes the next round.
    std::lock_guard<std::mutex> lock(mutex_);
    if (!queue_.empty()) Wake();
  }
  return RunDueTimers();
}

void MessageLoop::Run(std::chrono::microseconds batchDelay) {
  BindToCurrentThread();
  while (!quit_.load()) {
    std::size_t handled = 0;
    int timeout = ProcessPending(&handled);
    if (quit_.load()) break;
    if (handled > 0 && batchDelay.count() > 0) {
      pollfd nap{-1, 0, 0};  // sleeps without a descriptor; a quit still ends the loop after it
      poll(&nap, 0, static_cast<int>((batchDelay.count() + 999) / 1000));
      continue;
    }
    pollfd pfd{wakeFd_, POLLIN, 0};
    int rc = poll(&pfd, 1, timeout);
    if (rc < 0 && errno != EINTR) break;
  }
}

void MessageLoop::Quit() {
  quit_.store(true);
  Wake();
}

void MessageLoop::RaiseFromSignal(std::uint32_t flags) {
  raised_.fetch_or(flags);  // lock-free std::atomic<std::uint32_t>: safe in a signal handler
  std::uint64_t one = 1;
  ssize_t rc = write(wakeFd_, &one, sizeof one);
  (void)rc;
}

void MessageLoop::SetSignalHandler(std::function<void(std::uint32_t)> handler) {
  signalHandler_ = std::move(handler);
}

void MessageLoop::QuitFromSignal() {
  quit_.store(true);  // lock-free std::atomic<bool>: safe in a signal handler
  std::uint64_t one = 1;
  ssize_t rc = write(wakeFd_, &one, sizeof one);
  (void)rc;
}

}  // namespace velmo::platform
