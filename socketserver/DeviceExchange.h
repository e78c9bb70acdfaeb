// Queue-and-wait: how the HTTP API and the device-port relays reach a device.
// Velmo never writes to a device's socket for them: text goes into the
// device's request ring and leaves with the answer to its next heartbeat; a
// device-information record comes back through its reply ring.
//
// Every wait has a bound of kDeviceWaitStage per stage and wakes as soon as the
// awaited change happens. No lock is held while waiting, and the target is kept
// alive by the caller's shared_ptr, so the window thread may tear it down meanwhile.
//
// Thread safety: any thread.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/StopSignal.h"

namespace velmo {

class CServerClientSocket;

inline constexpr std::chrono::milliseconds kDeviceWaitStage{5000};
inline constexpr std::size_t kDeviceRecordBytes = 908;

// Queues `text` (and a line feed when `lineFeed`) for the device and waits up
// to `stage` until the device has taken all of it. Returns true when taken;
// on false the text stays queued for a later heartbeat (unless another
// writer's overflow discarded it). A set `abort` (the waiting connection is
// being torn down) ends the wait within 100 ms, unsuccessful.
bool QueueAndWait(CServerClientSocket& target, std::string_view text, bool lineFeed,
                  std::chrono::milliseconds stage = kDeviceWaitStage, const platform::StopSignal* abort = nullptr);

struct QueryAnswer {
  bool taken = false;     // the device took the query text
  bool answered = false;  // and sent a record
  std::array<std::uint8_t, kDeviceRecordBytes> record{};  // zero beyond `length`
  std::size_t length = 0;
};

// Per-connection state that lets concurrent queries share one round.
class CQueryRound {
 public:
  std::mutex mutex;
  std::condition_variable done;
  bool inFlight = false;        // guarded by mutex
  std::string text;             // the query in flight; guarded by mutex
  std::uint64_t generation = 0; // rounds finished; guarded by mutex
  QueryAnswer last;             // the answer of the last round; guarded by mutex
};

// Sends the query `text` and waits for the device's record: the reply ring is
// emptied first (an old, late record is never taken for the answer), the text
// is queued and must be taken within `stage`, the record must come within a
// further `stage`; at most kDeviceRecordBytes are kept and the rest discarded.
// A query arriving while the same query is in flight for the same device
// shares that round and gets the same record; a different query waits its turn.
QueryAnswer QueryAndWait(CServerClientSocket& target, std::string_view text, bool lineFeed,
                         std::chrono::milliseconds stage = kDeviceWaitStage,
                         const platform::StopSignal* abort = nullptr);

}  // namespace velmo
