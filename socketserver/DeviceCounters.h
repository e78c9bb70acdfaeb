// CDeviceCounters: running totals of what the device server and the ways to
// reach a device have done since they were created (the management port's
// statistics and metrics read them). The program creates one and hands it
// to the device server, the protocol and the device reach; tests create
// their own and read exact figures.
//
// Thread safety: every member may be used from any thread; each counter is an
// independent relaxed atomic, so a Read() taken while devices come and go is
// a set of recent values, not one instant.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

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

struct DeviceTotals {
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

  std::uint64_t Disconnections() const;
  std::uint64_t Relays() const;
};

class CDeviceCounters {
 public:
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

  DeviceTotals Read() const;

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
};

}  // namespace velmo
