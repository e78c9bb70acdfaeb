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

void SharedRing::ClearLocked() {
  left_ += Held(ring_);
  clearedTo_ = left_;
  velmo::Clear(ring_);
}

void SharedRing::CollectLocked(std::vector<std::pair<std::shared_ptr<CRingWaiter>, bool>>* decided) {
  auto keep = waits_.begin();
  for (auto& w : waits_) {
    const bool lost = abandoned_ || clearedTo_ > w.span.begin;
    const bool taken = !lost && left_ >= w.span.end;
    if (lost || taken) {
      decided->emplace_back(std::move(w.waiter), taken);
    } else {
      *keep++ = std::move(w);
    }
  }
  waits_.erase(keep, waits_.end());
}

void SharedRing::Tell(std::vector<std::pair<std::shared_ptr<CRingWaiter>, bool>>& decided) {
  for (auto& [waiter, taken] : decided) waiter->OnRingDecided(taken);
}

SharedRing::Span SharedRing::PushAll(const void* bytes, std::size_t length) {
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  Span span;
  std::vector<std::pair<std::shared_ptr<CRingWaiter>, bool>> decided;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    span.begin = pushed_;
    bool cleared = false;
    for (std::size_t i = 0; i < length; ++i) {
      if (!Push(ring_, p[i])) {
        ClearLocked();
        cleared = true;
        Push(ring_, p[i]);
      }
      ++pushed_;
    }
    span.end = pushed_;
    if (cleared) CollectLocked(&decided);
  }
  Tell(decided);
  return span;
}

void SharedRing::WhenTaken(const Span& span, std::shared_ptr<CRingWaiter> waiter) {
  std::vector<std::pair<std::shared_ptr<CRingWaiter>, bool>> decided;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    waits_.push_back(Wait{span, std::move(waiter)});
    CollectLocked(&decided);
  }
  Tell(decided);
}

void SharedRing::CancelWait(const CRingWaiter* waiter) {
  std::shared_ptr<CRingWaiter> dropped;  // released outside the lock
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = waits_.begin(); it != waits_.end(); ++it) {
    if (it->waiter.get() == waiter) {
      dropped = std::move(it->waiter);
      waits_.erase(it);
      break;
    }
  }
}

std::vector<std::uint8_t> SharedRing::PopAll() {
  std::vector<std::uint8_t> out;
  std::vector<std::pair<std::shared_ptr<CRingWaiter>, bool>> decided;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint8_t b;
    while (Pop(ring_, b)) out.push_back(b);
    left_ += out.size();
    CollectLocked(&decided);
  }
  Tell(decided);
  return out;
}

std::size_t SharedRing::PopInto(std::uint8_t* out, std::size_t max, bool discardRest) {
  std::size_t n = 0;
  std::vector<std::pair<std::shared_ptr<CRingWaiter>, bool>> decided;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint8_t b;
    while (n < max && Pop(ring_, b)) out[n++] = b;
    left_ += n;
    if (discardRest) ClearLocked();
    CollectLocked(&decided);
  }
  Tell(decided);
  return n;
}

void SharedRing::Clear() {
  std::vector<std::pair<std::shared_ptr<CRingWaiter>, bool>> decided;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ClearLocked();
    CollectLocked(&decided);
  }
  Tell(decided);
}

void SharedRing::Abandon() {
  std::vector<std::pair<std::shared_ptr<CRingWaiter>, bool>> decided;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    abandoned_ = true;
    CollectLocked(&decided);
  }
  Tell(decided);
}

bool SharedRing::IsEmpty() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return velmo::IsEmpty(ring_);
}

std::size_t SharedRing::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<std::size_t>(Held(ring_));
}

std::size_t SharedRing::Waiters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waits_.size();
}

}  // namespace velmo
