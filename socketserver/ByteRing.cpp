#include "socketserver/ByteRing.h"

namespace velmo {

void Init(ByteRing& ring, std::uint8_t* storage, std::int32_t capacity) {
  ring.data = storage;
  ring.capacity = capacity;
  ring.readIndex = 0;
  ring.writeIndex = 0;
}

void Clear(ByteRing& ring) {
  ring.readIndex = 0;
  ring.writeIndex = 0;
}

bool IsEmpty(const ByteRing& ring) { return ring.readIndex == ring.writeIndex; }

bool IsFull(const ByteRing& ring) { return (ring.writeIndex + 1) % ring.capacity == ring.readIndex; }

bool Pop(ByteRing& ring, std::uint8_t& out) {
  if (ring.readIndex == ring.writeIndex) return false;
  out = ring.data[ring.readIndex];
  ring.readIndex = (ring.readIndex + 1) % ring.capacity;
  return true;
}

bool Push(ByteRing& ring, std::uint8_t byte) {
  std::int32_t next = (ring.writeIndex + 1) % ring.capacity;
  if (next == ring.readIndex) return false;
  ring.data[ring.writeIndex] = byte;
  ring.writeIndex = next;
  return true;
}

SharedRing::SharedRing() { Init(ring_, storage_, kStorageBytes); }

namespace {
std::uint64_t Held(const ByteRing& r) {
  return static_cast<std::uint64_t>((r.writeIndex - r.readIndex + r.capacity) % r.capacity);
}
}  // namespace

SharedRing::Span SharedRing::PushAll(const void* bytes, std::size_t length) {
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  Span span;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    span.begin = pushed_;
    for (std::size_t i = 0; i < length; ++i) {
      if (!Push(ring_, p[i])) {
        left_ += Held(ring_);
        clearedTo_ = left_;
        velmo::Clear(ring_);
        Push(ring_, p[i]);
      }
      ++pushed_;
    }
    span.end = pushed_;
  }
  changed_.notify_all();
  return span;
}

bool SharedRing::TakenLocked(const Span& span, bool* lost) const {
  *lost = clearedTo_ > span.begin;
  return !*lost && left_ >= span.end;
}

bool SharedRing::WaitTaken(const Span& span, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  bool lost = false;
  bool taken = changed_.wait_for(lock, timeout, [&] { return TakenLocked(span, &lost) || lost || abandoned_; });
  return taken && !lost && !abandoned_;
}

std::vector<std::uint8_t> SharedRing::PopAll() {
  std::vector<std::uint8_t> out;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint8_t b;
    while (Pop(ring_, b)) out.push_back(b);
    left_ += out.size();
  }
  if (!out.empty()) changed_.notify_all();
  return out;
}

std::size_t SharedRing::PopInto(std::uint8_t* out, std::size_t max, bool discardRest) {
  std::size_t n = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint8_t b;
    while (n < max && Pop(ring_, b)) out[n++] = b;
    left_ += n;
    if (discardRest) {
      left_ += Held(ring_);
      clearedTo_ = left_;
      velmo::Clear(ring_);
    }
  }
  changed_.notify_all();
  return n;
}

void SharedRing::Clear() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    left_ += Held(ring_);
    clearedTo_ = left_;
    velmo::Clear(ring_);
  }
  changed_.notify_all();
}

void SharedRing::Abandon() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    abandoned_ = true;
  }
  changed_.notify_all();
}

bool SharedRing::IsEmpty() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return velmo::IsEmpty(ring_);
}

std::size_t SharedRing::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<std::size_t>(Held(ring_));
}

bool SharedRing::WaitFor(bool wantEmpty, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  bool reached = changed_.wait_for(lock, timeout, [&] { return velmo::IsEmpty(ring_) == wantEmpty || abandoned_; });
  return reached && velmo::IsEmpty(ring_) == wantEmpty;
}

}  // namespace velmo
