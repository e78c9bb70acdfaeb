// The management port's /metrics: Velmo's counters and the process's usual
// figures in the Prometheus text format (version 0.0.4).
// Thread safety: no state; any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "socketserver/DeviceCounters.h"

namespace velmo {

// The event webhook's totals.
struct WebhookTotals {
  std::uint64_t delivered = 0;  // events the webhook accepted
  std::uint64_t dropped = 0;    // given up after the retries, or not queued (full)
};

// One node of a fleet: the shared registry's state and use.
struct RegistryFigures {
  bool up = false;
  std::uint64_t commands = 0;    // Redis commands sent
  std::uint64_t roundTrips = 0;  // pipelined exchanges with Redis
};

struct MetricsInput {
  int clients = 0;  // the window's two counters
  int devices = 0;
  DeviceTotals totals;
  // Requests by route, of the HTTP API and of the management port.
  std::map<std::string, std::uint64_t> apiRequests;
  std::map<std::string, std::uint64_t> adminRequests;
  WebhookTotals webhook;
  std::optional<RegistryFigures> cluster;
};

// The exposition text for `input` and this process's figures.
std::string FormatMetrics(const MetricsInput& input);

}  // namespace velmo
