// CFleetCounters: the process-wide running totals of what the device server
// and its interfaces have done since Velmo started (the management port's
// statistics and metrics read them).
//
// Thread safety: every member may be used from any thread; each counter is an
// independent relaxed atomic, so a Read() taken while devices come and go is
// a set of recent values, not one instant.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace velmo {

// Why a connection ended, as the counters tell them apart: the three close
// reasons of the device server and the operator's close.
enum class DisconnectKind : int { Peer = 0, SendFailed = 1, RecvFailed = 2, Operator = 3 };
inline constexpr int kDisconnectKinds = 4;

// The answer an integrator's command got.
enum class CommandResult : int { Taken = 0, Queued = 1, Offline = 2 };
// The relays a device asked for on the device port.
enum class RelayKind : int { Command = 0, Query = 1, Post = 2 };

// Upper bounds (seconds) of the command-wait histogram's buckets; +Inf follows.
inline constexpr std::array<double, 11> kCommandWaitBuckets = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                                               0.5,   1,    2.5,   5,    10};

// Which HTTP surface a request came to.
enum class HttpPort : int { Api = 0, Admin = 1 };

struct FleetTotals {
  std::uint64_t connections = 0;
  std::array<std::uint64_t, kDisconnectKinds> disconnections{};  // by DisconnectKind
  std::uint64_t heartbeats = 0;
  std::array<std::uint64_t, 3> commands{};  // by CommandResult
  std::array<std::uint64_t, 3> relays{};    // by RelayKind
  std::uint64_t uploads = 0;                // completed
  std::uint64_t downloads = 0;              // completed
  std::uint64_t uploadBytes = 0;
  std::uint64_t downloadBytes = 0;
  // How long commands waited for their answer: per bucket (not cumulative),
  // the last one for longer waits; and the sum.
  std::array<std::uint64_t, kCommandWaitBuckets.size() + 1> commandWaits{};
  double commandWaitSeconds = 0;
  // HTTP requests by port and route ("other" for unknown paths).
  std::map<std::pair<HttpPort, std::string>, std::uint64_t> httpRequests;
  // Device events for the event webhook: delivered, and given up or not queued.
  std::uint64_t webhookDelivered = 0;
  std::uint64_t webhookDropped = 0;

  std::uint64_t Disconnections() const;
  std::uint64_t Relays() const;
};

class CFleetCounters {
 public:
  static CFleetCounters& Process();

  void Connected() { Add(connections_); }
  void Disconnected(DisconnectKind kind) { Add(disconnections_[static_cast<int>(kind)]); }
  void Heartbeat() { Add(heartbeats_); }
  void Command(CommandResult result) { Add(commands_[static_cast<int>(result)]); }
  void Relay(RelayKind kind) { Add(relays_[static_cast<int>(kind)]); }
  void UploadBytes(std::uint64_t n) { Add(uploadBytes_, n); }
  void DownloadBytes(std::uint64_t n) { Add(downloadBytes_, n); }
  void UploadDone() { Add(uploads_); }
  void DownloadDone() { Add(downloads_); }
  void CommandWait(std::chrono::steady_clock::duration waited);
  void HttpRequest(HttpPort port, const std::string& route);
  void WebhookDelivered() { Add(webhookDelivered_); }
  void WebhookDropped() { Add(webhookDropped_); }

  FleetTotals Read() const;

 private:
  static void Add(std::atomic<std::uint64_t>& c, std::uint64_t n = 1) { c.fetch_add(n, std::memory_order_relaxed); }

  std::atomic<std::uint64_t> connections_{0};
  std::array<std::atomic<std::uint64_t>, kDisconnectKinds> disconnections_{};
  std::atomic<std::uint64_t> heartbeats_{0};
  std::array<std::atomic<std::uint64_t>, 3> commands_{};
  std::array<std::atomic<std::uint64_t>, 3> relays_{};
  std::atomic<std::uint64_t> uploads_{0};
  std::atomic<std::uint64_t> downloads_{0};
  std::atomic<std::uint64_t> uploadBytes_{0};
  std::atomic<std::uint64_t> downloadBytes_{0};
  std::array<std::atomic<std::uint64_t>, kCommandWaitBuckets.size() + 1> commandWaits_{};
  std::atomic<std::uint64_t> commandWaitMicros_{0};
  std::atomic<std::uint64_t> webhookDelivered_{0};
  std::atomic<std::uint64_t> webhookDropped_{0};
  mutable std::mutex httpLock_;
  std::map<std::pair<HttpPort, std::string>, std::uint64_t> httpRequests_;  // guarded by httpLock_
};

}  // namespace velmo
