// The management port's routes: statistics, the device list and one device,
// commands and information queries for one device, closing one device, the
// window's buttons, and the event log's tail. JSON in UTF-8 (device texts
// converted from GBK, bytes that are not GBK shown as U+FFFD); times in ISO
// 8601 with the local offset.
//
// Thread safety: the handlers run on the admin thread and never block:
// button presses are handed to the window thread (the answer follows when
// they are done), device waits answer from the admin thread when decided.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "admin/AdminServer.h"
#include "socketserver/DeviceExchange.h"

namespace velmo {

class CVelmoDlg;
class CServerClientSocket;
class CClusterForwarder;
struct DeviceEvent;

struct AdminContext {
  CVelmoDlg* dlg = nullptr;  // outlives the admin server
  std::int64_t startedAtMs = 0;
  std::chrono::milliseconds deviceWait = kDeviceWaitStage;  // per stage; tests shorten it
  // One node of a fleet: reaches the other nodes (null when Velmo runs alone).
  std::shared_ptr<CClusterForwarder> cluster;
};

// A page of this node's registered devices whose SN (UTF-8) starts with
// `prefix`, ordered by SN (one SN's connections oldest first): how many
// there are, and the rows [offset, offset + limit).
struct DevicePage {
  std::size_t total = 0;
  nlohmann::json devices = nlohmann::json::array();
};
DevicePage ListDevicePage(const std::string& prefix, std::size_t offset, std::size_t limit);

// This node's statistics (GET /v1/stats).
nlohmann::json StatsJson(const AdminContext& ctx);

// A whole non-negative decimal number, or false.
bool ParseCount(const std::string& text, std::size_t* out);

// `body` as a JSON answer with `status`.
AdminResponse Json(unsigned status, const nlohmann::json& body);

// Registers every route on `server`.
void AddAdminRoutes(CAdminServer& server, const AdminContext& context);

// One device event as JSON: {"event", "sn", "ip", "port", "socket"}, with
// "reason" when it is a disconnection and "at" when it happened.
std::string DeviceEventText(const DeviceEvent& event);

// "2026-12-10T23:18:17+01:00" for `ms` since the epoch, in local time.
std::string IsoTime(std::int64_t ms);

}  // namespace velmo
