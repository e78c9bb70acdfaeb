// Device churn for the benchmarks: clients that connect, register with a
// fresh SN, read the server's reply and leave, over and over.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "tools/devsim/FrameClient.h"

namespace velmo::bench {

// One churn client (number `client`): connect, heartbeat with a fresh SN, read
// the reply, leave; a new cycle every `gap` at most, until `stop`. Counts
// every cycle in `counters.cycles` and the failed ones in
// `counters.cycleFailures`.
template <typename Counters>
void Churn(int client, std::uint16_t port, std::chrono::steady_clock::duration gap, const std::atomic<bool>& stop,
           Counters& counters) {
  using namespace std::chrono;
  auto next = steady_clock::now();
  for (long i = 0; !stop.load(); ++i) {
    std::this_thread::sleep_until(next);
    next = std::max(next + gap, steady_clock::now() - gap);
    char sn[32];
    std::snprintf(sn, sizeof sn, "2099%04d%016ld", client, i);
    devsim::CFrameClient d;
    std::string error;
    bool ok = d.Connect("127.0.0.1", port, &error) && d.SendFrame(std::string("-36") + sn);
    if (ok) {
      auto reply = d.ReadFrame(milliseconds(5000));
      ok = reply && reply->compare(0, 3, "-37") == 0;
    }
    ++counters.cycles;
    if (!ok) ++counters.cycleFailures;
  }
}

}  // namespace velmo::bench
