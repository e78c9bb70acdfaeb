// How the HTTP API and the device-port relays reach a device. Velmo never
// writes to a device's socket for them: text goes into the device's request
// ring and leaves with the answer to its next heartbeat; a device-information
// record comes back through its reply ring.
//
// Nothing here waits. A wait is an object that is decided once by the device
// (taken or not, answered or not) and then runs its completion through the
// gate of the thread it belongs to (its "home": the HTTP thread, the
// management port's thread, or the I/O thread of the requesting connection).
// The waiter bounds the wait itself on its home (CDeviceReach does) and
// calls Cancel() when its bound has passed: the completion then never runs.
// Completions hold no strong reference to anything of their home; they look
// their requester up again when they run.
//
//   CDeviceMailbox   one device's request ring, reply ring and queries in
//                    flight; created on first use, owned by the connection
//   CCommandWait     text queued for a device: taken or not
//   CQueryWait       a query queued for a device and its record: queries of
//                    the same text share one round; rounds of different texts
//                    run side by side, and records answer the oldest round
//                    whose text the device has taken
#pragma once

#include <array>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ExecutorGate.h"
#include "platform/ThreadCheck.h"
#include "socketserver/ByteRing.h"

namespace velmo {

class CServerClientSocket;

inline constexpr std::chrono::milliseconds kDeviceWaitStage{5000};
inline constexpr std::size_t kDeviceRecordBytes = 908;

struct QueryAnswer {
  bool taken = false;     // the device took the query text
  bool answered = false;  // and sent a record
  std::array<std::uint8_t, kDeviceRecordBytes> record{};  // zero beyond `length`
  std::size_t length = 0;
};

class CQueryWait;

// Thread safety: the rings may be used from any thread. Queries, records and
// Abandon belong to the device's I/O thread (`owner`); CQueryWait gets there
// through the device's gate.
class CDeviceMailbox : public std::enable_shared_from_this<CDeviceMailbox> {
 public:
  CDeviceMailbox(std::shared_ptr<boost::asio::io_context> io, platform::GatePtr gate,
                 const platform::CThreadOwner& owner, std::chrono::milliseconds stage);
  ~CDeviceMailbox();
  CDeviceMailbox(const CDeviceMailbox&) = delete;
  CDeviceMailbox& operator=(const CDeviceMailbox&) = delete;

  SharedRing& Request() { return request_; }
  SharedRing& Reply() { return reply_; }

  // I/O thread: a record arrived (the -58 payload after its 24-byte SN). It is
  // pushed into the reply ring; the oldest round whose text was taken gets it.
  void OnRecord(const std::uint8_t* bytes, std::size_t length);
  // I/O thread (teardown): every wait, now and later, ends unsuccessful.
  void Abandon();
  // Queries in flight (for tests and figures); I/O thread.
  std::size_t Rounds() const { return rounds_.size(); }

 private:
  friend class CQueryWait;
  struct Round;
  class RoundTaken;

  // I/O thread.
  void Join(std::shared_ptr<CQueryWait> wait, const std::string& text, bool lineFeed);
  void OnRoundTaken(std::uint64_t id, bool taken);
  void ArmStage(Round& round);  // bounds the round's current stage
  void OnRoundTimer(std::uint64_t id, unsigned stage);
  void Finish(Round& round, const QueryAnswer& answer);
  Round* Find(std::uint64_t id);

  // Declared first: outlives the round timers below wherever the last
  // reference to the mailbox goes.
  const std::shared_ptr<boost::asio::io_context> io_;
  const platform::GatePtr gate_;
  const platform::CThreadOwner& owner_;
  const std::chrono::milliseconds stage_;
  SharedRing request_;  // text waiting for the device's next heartbeat
  SharedRing reply_;    // device-information bytes no round took yet
  std::list<Round> rounds_;  // I/O thread, oldest first
  std::uint64_t nextRound_ = 1;
  bool abandoned_ = false;   // I/O thread
};

class CCommandWait final : public CRingWaiter, public std::enable_shared_from_this<CCommandWait> {
 public:
  using Done = std::function<void(bool taken)>;
  // Queues `text` (and a line feed when `lineFeed`) in the device's request
  // ring. `done(taken)` runs at most once, on `home`: true when the device
  // took all of it, false when a clear discarded it or the device went away;
  // never once Cancel() came first (the text then stays queued for a later
  // heartbeat).
  static std::shared_ptr<CCommandWait> Start(CDeviceMailbox& mailbox, std::string_view text, bool lineFeed,
                                             platform::GatePtr home, Done done);
  CCommandWait(std::shared_ptr<CDeviceMailbox> mailbox, platform::GatePtr home, Done done);
  // Any thread: the waiter no longer listens; `done` will not run (unless it
  // is on its way to `home` already: the waiter ignores it there).
  void Cancel();

 private:
  void OnRingDecided(bool taken) override;
  void Finish(bool taken);

  std::atomic<bool> finished_{false};
  std::weak_ptr<CDeviceMailbox> mailbox_;
  const platform::GatePtr home_;
  Done done_;  // moved out by the one Finish
};

class CQueryWait final : public std::enable_shared_from_this<CQueryWait> {
 public:
  using Done = std::function<void(const QueryAnswer& answer)>;
  // Sends the query `text` (and a line feed when `lineFeed`) to the device
  // and waits for its record: the text must be taken within the mailbox's
  // stage, the record must come within a further stage. `done` runs at most
  // once, on `home`, with the answer (at most kDeviceRecordBytes of the
  // record; the rest is discarded); never once Cancel() came first. A query
  // arriving while the same text is in flight for the same device shares
  // that round and gets the same record.
  static std::shared_ptr<CQueryWait> Start(CDeviceMailbox& mailbox, std::string text, bool lineFeed,
                                           platform::GatePtr home, Done done);
  CQueryWait(platform::GatePtr home, Done done) : home_(std::move(home)), done_(std::move(done)) {}
  // Any thread: the waiter no longer listens (as CCommandWait::Cancel).
  void Cancel();
  // Any thread: decides the wait with `answer`, once.
  void Finish(const QueryAnswer& answer);

 private:
  std::atomic<bool> finished_{false};
  const platform::GatePtr home_;
  Done done_;
};

}  // namespace velmo
