// CVelmo: the program, assembled in one place. It creates, starts and, in
// the reverse order, stops every part of Velmo:
//
//   the device server   CSocketServer, its connections speaking the device
//                       protocol (CFileRecver), its registry, counters and
//                       events; every event becomes its log line
//                       (CServerEventHandlers)
//   the device reach    CDeviceReach: the one way to reach a device by SN
//   the HTTP API        HttpServer with /api/cmd and /api/status
//   the management port CAdminServer with its routes, when not off
//   the fleet           CClusterMembership, with --cluster
//   the event webhook   CEventWebhook, with --event-webhook
//
// and keeps the program's one-second timer (the log's drain, the history of
// the two counters). The window (window/) and headless mode (app/main.cpp)
// are two faces on top of it: the window shows what it reports and forwards
// its buttons.
//
// Thread map: the window thread (this object's, the message loop's) owns
// everything here; the device server runs its I/O threads "velmo-io-N" and
// file threads "velmo-file"; the API "velmo-http"; the management port
// "velmo-admin"; the fleet "velmo-registry" and "velmo-cluster"; the webhook
// "velmo-webhook".
//
// Thread safety: everything on the window thread, except the accessors of
// ports, the log and the handlers, which any thread may use.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "admin/StatsHistory.h"
#include "app/Options.h"
#include "app/ServerEventHandlers.h"
#include "httpserver/ApiRoutes.h"
#include "platform/MessageLoop.h"

namespace velmo {

class CAdminServer;
class CClusterMembership;
class CDeviceReach;
class CEventLog;
class CEventWebhook;
class CSocketServer;
class HttpServer;

class CVelmo {
 public:
  CVelmo(platform::MessageLoop& loop, const AppOptions& options, CEventLog& log);
  ~CVelmo();  // Shutdown()
  CVelmo(const CVelmo&) = delete;
  CVelmo& operator=(const CVelmo&) = delete;

  // Window thread. Log lines are drained on this thread from here on. Creates
  // the device server and the device reach, starts the HTTP API ("Http
  // Start" on its thread), the management port, the fleet membership and the
  // webhook, then the device server ("Tcp Server Start" / "Tcp Server Start
  // fail"), and the one-second timer.
  void Start();
  // Window thread, idempotent: stops the timer, the management port, the
  // fleet membership, the webhook and the API (requests still waiting get no
  // answer), then destroys the device server (receptions cancelled,
  // connections torn down without events, waits for devices ended), and
  // writes the log lines still waiting.
  void Shutdown();

  // The buttons (window thread).
  void StartListen();
  void StopListen();
  void CloseAll();
  void CancelRecv();
  // The file directory of connections created from now on.
  void SetFileDir(const std::string& path);

  // Any thread: one log line (GBK message).
  void AppendLog(std::string_view message);
  // The HTTP port actually bound (0 until the service listens).
  std::uint16_t HttpPort() const;
  // The management port actually bound (0 until it listens, or when off).
  std::uint16_t AdminPort() const;

  CSocketServer* Server() const { return server_.get(); }
  platform::MessageLoop& Loop() const { return loop_; }
  CEventLog& Log() const { return log_; }
  CServerEventHandlers& Handlers() { return handlers_; }
  // The two counters over the last hour (sampled on the window thread).
  const CStatsHistory& History() const { return history_; }
  const AppOptions& Options() const { return options_; }
  // The file directory handed to the server (with its trailing "/").
  const std::string& FileDir() const { return fileDir_; }
  // The LED device's text file: --led-file, or "weather.htm" in the file directory.
  std::string LedFile() const;

 private:
  void StartDeviceServer();
  void StartApi();
  void StartAdmin();
  // The management address this node advertises to the fleet now (a port
  // of 0 in --advertise: the one bound).
  std::string Advertised() const;
  // Window thread, from the timer: a history sample when one is due.
  void SampleHistory();

  platform::MessageLoop& loop_;
  const AppOptions options_;
  CEventLog& log_;
  std::string fileDir_;
  CServerEventHandlers handlers_;
  CStatsHistory history_;
  std::unique_ptr<CSocketServer> server_;
  std::shared_ptr<CDeviceReach> reach_;  // shared with the protocol's relays
  ApiContext apiContext_;
  std::unique_ptr<HttpServer> http_;
  std::unique_ptr<CAdminServer> admin_;
  std::shared_ptr<CClusterMembership> membership_;  // shared with the management port's routes
  std::unique_ptr<CEventWebhook> webhook_;
  platform::TimerId timer_ = 0;
  bool started_ = false;
  bool shutDown_ = false;
};

}  // namespace velmo
