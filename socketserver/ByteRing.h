// ByteRing: a fixed-capacity byte queue over storage that its owner supplies.
//
//   data: [ . . . r x x x x w . . . ]     r = readIndex, w = writeIndex
//   empty  <=> r == w
//   full   <=> (w + 1) % capacity == r    (one slot stays free: holds capacity - 1)
//
// The plain operations neither lock nor allocate. SharedRing (below) adds the
// lock that lets several threads use one ring, and the writers' overflow policy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace velmo {

struct ByteRing {
  std::uint8_t* data = nullptr;
  std::int32_t capacity = 0;
  std::int32_t readIndex = 0;
  std::int32_t writeIndex = 0;
};

// Sets storage and capacity; the ring starts empty.
void Init(ByteRing& ring, std::uint8_t* storage, std::int32_t capacity);
// Empties the ring; the storage is not touched.
void Clear(ByteRing& ring);
bool IsEmpty(const ByteRing& ring);
bool IsFull(const ByteRing& ring);
// Returns false (ring and out untouched) when empty.
bool Pop(ByteRing& ring, std::uint8_t& out);
// Returns false (ring untouched) when full.
bool Push(ByteRing& ring, std::uint8_t byte);

// A wait for one span of pushed bytes to leave a SharedRing.
class CRingWaiter {
 public:
  virtual ~CRingWaiter() = default;
  // Called once: `taken` is true when every byte of the span was taken by a
  // reader, false as soon as a clear discarded any of them or the ring was
  // abandoned. Runs outside the ring's lock, on the thread that changed the
  // ring (or at once on the registering thread when the span is decided
  // already); it must not wait.
  virtual void OnRingDecided(bool taken) = 0;
};

// SharedRing: a ByteRing with its own 4096-byte storage and a lock, shared by
// the threads of Velmo (the HTTP thread, I/O threads, file workers).
//
// Writers follow one overflow policy: a push refused because the ring is full
// clears the ring and pushes the byte again, so the newest bytes are kept. Each
// call is atomic with respect to every other call.
//
// Every byte pushed has a position (0, 1, 2, ... over the ring's life); a byte
// leaves either taken by a reader or discarded by a clear. A writer can ask to
// be told when its own bytes were taken, whatever was pushed after them;
// nobody waits on the ring itself.
//
// Thread safety: every member may be called from any thread.
class SharedRing {
 public:
  static constexpr std::int32_t kStorageBytes = 4096;

  // The positions [begin, end) of the bytes one PushAll queued.
  struct Span {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
  };

  SharedRing();
  SharedRing(const SharedRing&) = delete;
  SharedRing& operator=(const SharedRing&) = delete;

  // Pushes the bytes in order by the writers' clear-and-push policy and
  // returns their positions.
  Span PushAll(const void* bytes, std::size_t length);
  // Tells `waiter` when every byte of `span` was taken (see CRingWaiter). The
  // ring holds the waiter until then, or until CancelWait.
  void WhenTaken(const Span& span, std::shared_ptr<CRingWaiter> waiter);
  // Forgets `waiter`; it is not called afterwards (unless it is being called
  // right now on another thread).
  void CancelWait(const CRingWaiter* waiter);
  // Takes every byte out, in order.
  std::vector<std::uint8_t> PopAll();
  // Takes at most `max` bytes out into `out`; returns how many. With
  // `discardRest`, bytes beyond `max` are dropped as well.
  std::size_t PopInto(std::uint8_t* out, std::size_t max, bool discardRest);
  void Clear();
  // The owner is gone: every waiter, now and later, is told "not taken".
  void Abandon();
  bool IsEmpty() const;
  std::size_t Size() const;
  std::size_t Waiters() const;

 private:
  struct Wait {
    Span span;
    std::shared_ptr<CRingWaiter> waiter;
  };
  // Takes the decided waits out of waits_ (lock held) into `decided`.
  void CollectLocked(std::vector<std::pair<std::shared_ptr<CRingWaiter>, bool>>* decided);
  static void Tell(std::vector<std::pair<std::shared_ptr<CRingWaiter>, bool>>& decided);
  void ClearLocked();

  mutable std::mutex mutex_;
  ByteRing ring_;                        // guarded by mutex_
  std::uint8_t storage_[kStorageBytes];  // guarded by mutex_
  std::uint64_t pushed_ = 0;     // positions handed out; guarded by mutex_
  std::uint64_t left_ = 0;       // bytes that left the ring (taken or cleared); guarded by mutex_
  std::uint64_t clearedTo_ = 0;  // every position below this that left, left by a clear; guarded by mutex_
  bool abandoned_ = false;       // guarded by mutex_
  std::vector<Wait> waits_;      // guarded by mutex_
};

}  // namespace velmo
