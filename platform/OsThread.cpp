#include "platform/OsThread.h"

#include <atomic>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace velmo::platform {

namespace {
std::atomic<int> g_failNextCreates{0};

#if defined(VELMO_SANITIZED)
constexpr std::size_t kMinStack = 1024 * 1024;  // sanitizers need room of their own
#else
constexpr std::size_t kMinStack = 64 * 1024;
#endif
}  // namespace

void OsThread::FailNextCreatesForTesting(int count) { g_failNextCreates.store(count); }

OsThread::~OsThread() { Join(); }

bool OsThread::Create(std::function<void()> body, int priority, std::size_t stackBytes) {
  if (created_) return false;
  int pending = g_failNextCreates.load();
  while (pending > 0) {
    if (g_failNextCreates.compare_exchange_weak(pending, pending - 1)) return false;
  }
  body_ = std::move(body);
  priority_ = priority;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  if (stackBytes != 0) {
    if (stackBytes < kMinStack) stackBytes = kMinStack;
    pthread_attr_setstacksize(&attr, stackBytes);
  }
  int rc = pthread_create(&handle_, &attr, &OsThread::Entry, this);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    body_ = nullptr;
    return false;
  }
  created_ = true;
  return true;
}

bool OsThread::Resume() {
  if (!created_) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (gate_ != Gate::Parked) return false;
    gate_ = Gate::Run;
  }
  cv_.notify_one();
  return true;
}

void OsThread::Join() {
  if (!created_ || joined_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (gate_ == Gate::Parked) gate_ = Gate::Abandon;
  }
  cv_.notify_one();
  pthread_join(handle_, nullptr);
  joined_ = true;
}

void* OsThread::Entry(void* raw) {
  auto* self = static_cast<OsThread*>(raw);
  Gate gate;
  {
    std::unique_lock<std::mutex> lock(self->mutex_);
    self->cv_.wait(lock, [self] { return self->gate_ != Gate::Parked; });
    gate = self->gate_;
  }
  if (gate != Gate::Run) return nullptr;
  if (self->priority_ != 0) {
    // Best effort: a process that may not raise its priority keeps the default.
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), -self->priority_);
  }
  self->body_();
  return nullptr;
}

}  // namespace velmo::platform
