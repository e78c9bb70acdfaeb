// The management port's /metrics: Velmo's counters and the process's usual
// figures in the Prometheus text format (version 0.0.4).
// Thread safety: no state; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "socketserver/FleetCounters.h"

namespace velmo {

struct MetricsInput {
  int clients = 0;  // the window's two counters
  int devices = 0;
  FleetTotals totals;
  // One node of a fleet: the shared registry's state and use.
  struct Cluster {
    bool up = false;
    std::uint64_t commands = 0;    // Redis commands sent
    std::uint64_t roundTrips = 0;  // pipelined exchanges with Redis
  };
  std::optional<Cluster> cluster;
};

// The exposition text for `input` and this process's figures.
std::string FormatMetrics(const MetricsInput& input);

}  // namespace velmo
