// The management port's routes: statistics, the device list and one device,
// commands and information queries for one device, closing one device, the
// program's buttons, the event log's tail, the event stream and the metrics.
// JSON in UTF-8 (device texts converted from GBK, bytes that are not GBK
// shown as U+FFFD); times in ISO 8601 with the local offset.
//
// Thread safety: the handlers run on the admin thread and never block:
// buttons and closes are handed to the window thread (the answer follows
// when they are done), device waits go to the device reach and answer from
// the admin thread when decided.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "admin/AdminServer.h"
#include "admin/Metrics.h"

namespace velmo {

namespace platform {
class MessageLoop;
}  // namespace platform
class CClientRegistry;
class CEventLog;
class CDeviceReach;
class CHttpCounters;
class CSocketServer;
class CStatsHistory;
class IFleetView;
struct DeviceEvent;

// The program's buttons; each runs on the window thread.
struct ServerControls {
  std::function<void()> startListen;
  std::function<void()> stopListen;
  std::function<void()> closeAll;
  std::function<void()> cancelRecv;
};

// What the routes read and drive; all of it outlives the admin server.
struct AdminContext {
  platform::MessageLoop* window = nullptr;  // buttons and closes run there
  CSocketServer* server = nullptr;          // the device server: its connections, counters and listener
  CDeviceReach* reach = nullptr;            // commands and queries for one device
  CEventLog* log = nullptr;                 // its tail, its lines for the event stream, the operator's close
  const CStatsHistory* history = nullptr;   // the two counters over the last hour
  std::int64_t startedAtMs = 0;
  ServerControls controls;
  // One node of a fleet: the other nodes (null when Velmo runs alone).
  std::shared_ptr<IFleetView> fleet;
  // The other figures of /metrics: the API's requests and the webhook's totals.
  const CHttpCounters* apiRequests = nullptr;
  std::function<WebhookTotals()> webhook;
};

// A page of a registry's registered devices whose SN (UTF-8) starts with
// `prefix`, ordered by SN (one SN's connections oldest first): how many
// there are, and the rows [offset, offset + limit).
struct DevicePage {
  std::size_t total = 0;
  nlohmann::json devices = nlohmann::json::array();
};
DevicePage ListDevicePage(const CClientRegistry& registry, const std::string& prefix, std::size_t offset,
                          std::size_t limit);

// This node's statistics (GET /v1/stats).
nlohmann::json StatsJson(const AdminContext& ctx);

// A whole non-negative decimal number, or false.
bool ParseCount(const std::string& text, std::size_t* out);

// `body` as a JSON answer with `status`.
AdminResponse Json(unsigned status, const nlohmann::json& body);

// Registers every route on `server` (the console's files first).
void AddAdminRoutes(CAdminServer& server, const AdminContext& context);

// One device event as JSON: {"event", "sn", "ip", "port", "socket"}, with
// "reason" when it is a disconnection and "at" when it happened.
std::string DeviceEventText(const DeviceEvent& event);

// "2026-12-10T23:18:17+01:00" for `ms` since the epoch, in local time.
std::string IsoTime(std::int64_t ms);

}  // namespace velmo
