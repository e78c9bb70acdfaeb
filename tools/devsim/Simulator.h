// CSimulator: plays many devices against a Velmo server from one thread with
// epoll. Each device connects (at the configured rate), registers with a -36
// heartbeat, heartbeats every interval, prints or counts the -37 commands it
// receives, and answers a "query dev_infos" line with a -58 record.
//
// Thread safety: not thread safe; Run() owns everything on the calling thread.
// `stop` may be set from another thread or a signal handler.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <queue>
#include <string>
#include <vector>

#include "tools/devsim/DevsimOptions.h"

namespace velmo::devsim {

struct Stats {
  int connected = 0;
  int connectFailed = 0;
  int disconnected = 0;  // closed by the server
  long heartbeats = 0;
  long commands = 0;
  long records = 0;
  int reconnects = 0;  // --reconnect: connections tried again
  int silent = 0;  // connected devices that never got any reply (set by Summary's caller via Finish)
};

class CSimulator {
 public:
  CSimulator(const Options& options, std::FILE* out);
  ~CSimulator();
  CSimulator(const CSimulator&) = delete;
  CSimulator& operator=(const CSimulator&) = delete;

  // Runs until --duration has passed or `stop` is set. Returns false (with a
  // message on standard error) when the simulator cannot start at all.
  bool Run(const std::atomic<bool>& stop);
  const Stats& GetStats() const { return stats_; }
  // Counts the connected devices that never received a reply (call after Run).
  void Finish();
  // One line: "velmo-devsim: 3 devices: 3 connected, ...".
  std::string Summary() const;

 private:
  using Clock = std::chrono::steady_clock;
  enum class State { Idle, Connecting, Connected, Gone };
  struct Device {
    int fd = -1;
    State state = State::Idle;
    std::string sn;
    std::string in;   // received bytes not yet framed
    std::string out;  // bytes waiting for the socket
    bool answered = false;  // received at least one frame
    std::size_t server = 0; // index into servers_
    unsigned connection = 0; // counts its connections: a heartbeat due for an earlier one is dropped
  };
  struct Due {
    Clock::time_point when;
    int device;
    unsigned connection = 0;
    bool operator>(const Due& o) const { return when > o.when; }
  };

  void StartConnect(int index);
  void OnEvent(int index, std::uint32_t events);
  void OnConnected(int index);
  void OnReadable(int index);
  void OnFrame(int index, const std::string& payload);
  void SendFrame(int index, const std::string& payload);
  void Flush(int index);
  void Drop(int index, bool byServer);
  void UpdateInterest(int index);
  // --reconnect: device `index` connects again a second from now, to the next server.
  void TryAgainLater(int index);

  const Options options_;
  std::FILE* const out_;
  int epoll_ = -1;
  std::vector<sockaddr_in> servers_;  // resolved --server list, in its order
  std::vector<Device> devices_;
  std::priority_queue<Due, std::vector<Due>, std::greater<Due>> heartbeats_;
  std::priority_queue<Due, std::vector<Due>, std::greater<Due>> reconnects_;  // --reconnect
  Clock::duration interval_;
  Stats stats_;
};

}  // namespace velmo::devsim
