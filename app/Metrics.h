// The management port's /metrics: Velmo's counters and the process's usual
// figures in the Prometheus text format (version 0.0.4).
// Thread safety: no state; any thread.
#pragma once

#include <string>

#include "socketserver/FleetCounters.h"

namespace velmo {

struct MetricsInput {
  int clients = 0;  // the window's two counters
  int devices = 0;
  FleetTotals totals;
};

// The exposition text for `input` and this process's figures.
std::string FormatMetrics(const MetricsInput& input);

}  // namespace velmo
