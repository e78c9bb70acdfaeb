// CDeviceReach: the one way to reach a device by its SN, for every surface
// that does: the HTTP API (/api/cmd, /api/status), the management port
// (commands and information queries), the routes between nodes of a fleet
// and the relays on the device port (-46, -56, the bare POST).
//
// A request names an SN, a text and a home (the caller's own thread). The
// reach finds the connection here that holds the SN (the oldest one, by the
// registry's index), or else, for a request that may go there, the node of
// the fleet that holds it; queues the text; bounds the wait with a timer on
// the home; counts the integrators' commands; and decides exactly once, on
// the home, with the outcome the caller turns into its own answer:
//
//   command   Taken      the device took the text with a heartbeat
//             Queued     not taken within the bound: it stays queued
//             Offline    no connection here, and no node holds the device
//             Refused    a text over its source's limit (nothing is queued)
//   query     Answered   the device sent its record (QueryOutcome::answer)
//             Unanswered the text was not taken, or no record came in time
//             Offline    as for a command
//             Refused    a text over kMaxRelayText for a device here
//
// Whatever happens first decides: the device, the bound, the connection
// going away, or another node's answer; anything later is ignored. Nothing
// waits on any thread: the timer and every completion run on the home.
//
// Thread safety: Command and Query are called on the home's own thread;
// SetRemote, Remote and the accessors from any thread. Completions run on the
// home, never after its gate has closed (a home that stops drops them).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/ExecutorGate.h"
#include "platform/IoThread.h"
#include "socketserver/DeviceExchange.h"

namespace velmo {

class CClientRegistry;
class CDeviceCounters;

// An integrator's command text (GBK): with its line feed and terminator it
// fills the designed 260-byte field.
inline constexpr std::size_t kMaxCommandText = 258;
// A text relayed on the device port or carried from another node (GBK).
inline constexpr std::size_t kMaxRelayText = 4095;

// The bounds of a reach. The defaults are Velmo's designed values; tests
// shorten them.
struct ReachTimings {
  // Each stage of a wait: the text taken by a heartbeat, the record sent.
  std::chrono::milliseconds stage{5000};
  // A query's own bound beyond its two stages, so that the device's round
  // decides first.
  std::chrono::milliseconds queryMargin{500};
  // How long past a request's bound the asking node waits for the answer of
  // the node that holds the device: that node decides within the bound, and
  // this is the way back.
  std::chrono::milliseconds remoteMargin{250};
};

// UTF-8 (from HTTP) to GBK by Utf8ToGbk, then measured: the text up to the
// first zero byte of the output, and the output's whole length (the length
// that limits are checked against). A conversion that fails gives "".
struct ConvertedText {
  std::string text;
  std::size_t length = 0;
};
ConvertedText ConvertToGbk(std::string_view utf8);

// ---- the way to other nodes ----

struct RemoteCommandResult {
  bool held = false;   // some node holds the device and decided; false: offline
  bool taken = false;  // the device took the text within the bound
};

struct RemoteQueryResult {
  bool held = false;   // false: offline
  QueryAnswer answer;  // the device's record when it answered
};

// Implemented by the fleet membership; absent when Velmo runs alone.
class IRemoteDevices {
 public:
  virtual ~IRemoteDevices() = default;
  // Queues `text` (with a line feed when `lineFeed`) for the device `sn` (GBK)
  // on the node that holds it and reports whether the device took it. A text
  // that reached the other node but was not taken in time stays queued there.
  // `done` runs once, through `home`.
  virtual void SendCommand(const std::string& sn, const std::string& text, bool lineFeed,
                           std::chrono::milliseconds bound, platform::GatePtr home,
                           std::function<void(const RemoteCommandResult&)> done) = 0;
  // Sends the query `text` to the device `sn` on the node that holds it and
  // reports the device's record.
  virtual void SendQuery(const std::string& sn, const std::string& text, bool lineFeed,
                         std::chrono::milliseconds bound, platform::GatePtr home,
                         std::function<void(const RemoteQueryResult&)> done) = 0;
};

// ---- requests and outcomes ----

// Who asked: integrators' commands (the HTTP API, the management port) are
// counted as commands and may be kMaxCommandText long; relays and other
// nodes' requests are not counted here (a relay is counted as a relay,
// another node's request where it was asked) and may be kMaxRelayText long.
enum class CommandSource { Api, Admin, Relay, Node };

// Here: only a connection of this node; Fleet: else the node that holds it.
enum class ReachScope { Here, Fleet };

enum class CommandOutcome { Offline, Queued, Taken, Refused };

struct QueryOutcome {
  enum Status { Offline, Unanswered, Answered, Refused } status = Offline;
  QueryAnswer answer;  // Answered: the device's record
};

struct ReachRequest {
  std::string sn;    // GBK, matched byte for byte; "" matches nothing
  std::string text;  // GBK, as queued (a line feed follows when `lineFeed`)
  bool lineFeed = true;
  CommandSource source = CommandSource::Api;
  ReachScope scope = ReachScope::Fleet;
  // Shorter than the designed bound (a carried request's own); never longer.
  std::optional<std::chrono::milliseconds> bound;
};

class CDeviceReach {
 public:
  using CommandDone = std::function<void(CommandOutcome)>;
  using QueryDone = std::function<void(const QueryOutcome&)>;

  // `registry` and `counters` outlive this.
  CDeviceReach(const CClientRegistry& registry, CDeviceCounters& counters, ReachTimings timings = {});
  // The designed timings with each stage `stage` long.
  CDeviceReach(const CClientRegistry& registry, CDeviceCounters& counters, std::chrono::milliseconds stage)
      : CDeviceReach(registry, counters, ReachTimings{stage}) {}
  CDeviceReach(const CDeviceReach&) = delete;
  CDeviceReach& operator=(const CDeviceReach&) = delete;

  // Queues the request's text for its device; `done` runs once on `home`
  // (at once, on the calling thread, when there is no home: nothing can be
  // waited for then, and the device counts as offline).
  void Command(const platform::ThreadHome& home, ReachRequest request, CommandDone done);
  // Sends the request's text as a query and waits for the device's record.
  void Query(const platform::ThreadHome& home, ReachRequest request, QueryDone done);

  // Installs (or, with null, removes) the way to other nodes.
  void SetRemote(std::shared_ptr<IRemoteDevices> remote);
  std::shared_ptr<IRemoteDevices> Remote() const;

  // The bound of a command (one stage) and of a query (two stages and the margin).
  std::chrono::milliseconds Stage() const { return timings_.stage; }
  std::chrono::milliseconds QueryBound() const { return 2 * timings_.stage + timings_.queryMargin; }

 private:
  class Wait;
  // The remote way for a request not held here, or null.
  std::shared_ptr<IRemoteDevices> RemoteFor(const ReachRequest& request) const;

  const CClientRegistry& registry_;
  CDeviceCounters& counters_;
  const ReachTimings timings_;
  mutable std::mutex remoteLock_;
  std::shared_ptr<IRemoteDevices> remote_;  // guarded by remoteLock_
};

}  // namespace velmo
