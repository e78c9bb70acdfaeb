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
#include <string>

#include "httpserver/AdminServer.h"
#include "socketserver/DeviceExchange.h"

namespace velmo {

class CVelmoDlg;
class CServerClientSocket;
struct DeviceEvent;

struct AdminContext {
  CVelmoDlg* dlg = nullptr;  // outlives the admin server
  std::int64_t startedAtMs = 0;
  std::chrono::milliseconds deviceWait = kDeviceWaitStage;  // per stage; tests shorten it
};

// Registers every route on `server`.
void AddAdminRoutes(CAdminServer& server, const AdminContext& context);

// One device event as JSON: {"event", "sn", "ip", "port", "socket"}, with
// "reason" when it is a disconnection and "at" when it happened.
std::string DeviceEventText(const DeviceEvent& event);

// "2026-12-10T23:18:17+01:00" for `ms` since the epoch, in local time.
std::string IsoTime(std::int64_t ms);

}  // namespace velmo
