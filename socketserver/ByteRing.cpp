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

void SharedRing::PushAll(const void* bytes, std::size_t length) {
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < length; ++i) {
      if (!Push(ring_, p[i])) {
        velmo::Clear(ring_);
        Push(ring_, p[i]);
      }
    }
  }
  changed_.notify_all();
}

std::vector<std::uint8_t> SharedRing::PopAll() {
  std::vector<std::uint8_t> out;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint8_t b;
    while (Pop(ring_, b)) out.push_back(b);
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
    if (discardRest) velmo::Clear(ring_);
  }
  changed_.notify_all();
  return n;
}

void SharedRing::Clear() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    velmo::Clear(ring_);
  }
  changed_.notify_all();
}

bool SharedRing::IsEmpty() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return velmo::IsEmpty(ring_);
}

std::size_t SharedRing::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<std::size_t>((ring_.writeIndex - ring_.readIndex + ring_.capacity) % ring_.capacity);
}

bool SharedRing::WaitFor(bool wantEmpty, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return velmo::IsEmpty(ring_) == wantEmpty; });
}

}  // namespace velmo
