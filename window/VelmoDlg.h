// CVelmoDlg: the main dialog's logic, without any widget. It owns the device
// server, registers the nine event handlers, starts the server, logs every
// event and refreshes the device view once a second. The Qt window (and, when
// headless, nothing at all) shows what it reports; tests drive it directly.
//
// Thread safety: everything runs on the window thread (the message loop's)
// except AppendLog and the OnRecvData and OnNotice handlers, which may run on
// any thread and never wait for the window thread. What they hand to the
// window is bounded: log lines go through the event log's buffer, and each
// text line (info, last data) keeps only its newest text with at most one
// update on its way to the view. The listeners are guarded: once a setter
// returns, the old listener is no longer called.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "cluster/ClusterNode.h"
#include "platform/EventLog.h"
#include "admin/StatsHistory.h"
#include "admin/AdminServer.h"
#include "httpserver/ApiRoutes.h"
#include "httpserver/HttpServer.h"
#include "app/Options.h"
#include "platform/MessageLoop.h"
#include "socketserver/SocketServer.h"

namespace velmo {

// What the device list and counters show after one refresh.
struct DeviceView {
  int clientCount = 0;  // connections without SN
  int deviceCount = 0;  // connections with SN
  std::vector<DeviceRow> rows;
};

class CVelmoDlg {
 public:
  static constexpr platform::TimerId kRefreshTimer = 4097;

  CVelmoDlg(platform::MessageLoop& loop, const AppOptions& options, CEventLog& log);
  // Shutdown().
  ~CVelmoDlg();
  CVelmoDlg(const CVelmoDlg&) = delete;
  CVelmoDlg& operator=(const CVelmoDlg&) = delete;

  // Starts the HTTP thread, creates and starts the device server ("Tcp Server
  // Start" / "Tcp Server Start fail") and the one-second refresh timer; log
  // lines are drained on the window thread from here on.
  void OnInitDialog();
  // Kills the refresh timer, stops the HTTP service (requests still waiting
  // get no answer), destroys the device server (receptions cancelled,
  // connections torn down without events, waits for devices ended) and
  // writes the log lines still waiting.
  // Idempotent; the window calls it before it goes.
  void Shutdown();
  // The HTTP thread's body: "Http Start", then the API until the dialog ends.
  void RunHttpServer();
  // The HTTP port actually bound (0 until the service listens).
  std::uint16_t HttpPort() const { return httpServer_ ? httpServer_->BoundPort() : 0; }
  // The management port actually bound (0 until it listens, or when off).
  std::uint16_t AdminPort() const { return adminServer_ ? adminServer_->BoundPort() : 0; }

  // Any thread: one log line (GBK message).
  void AppendLog(std::string_view message);

  // Buttons.
  void OnStartListen();
  void OnStopListen();
  void OnCloseAll();
  void OnCancelRecv();

  // Timer 4097: recomputes the counters and rows and hands them to the view.
  void RefreshDeviceView();
  // Window thread, from the one-second timer: a history sample when one is due.
  void SampleHistory();
  void SetViewListener(std::function<void(const DeviceView&)> listener);
  // Called (on the thread that changed it) when the info line or the
  // last-data line has a new text and no update of that line is on its way:
  // the listener arranges one update, which takes the newest text with
  // TakeText. It must not wait for the window thread.
  enum class TextLine { Info, LastData };
  void SetTextListener(std::function<void(TextLine)> listener);
  // The newest text of `line` (GBK); the next change calls the listener again.
  std::string TakeText(TextLine line);
  // Hidden button "...": the file directory of connections created from now on.
  void SetFileDir(const std::string& path);

  // Texts of the hidden info line (last handler line) and the last-data line.
  std::string InfoText() const;
  std::string LastData() const;

  CSocketServer* Server() const { return server_.get(); }
  platform::MessageLoop& Loop() const { return loop_; }
  CEventLog& Log() const { return log_; }
  // The two counters over the last hour (sampled on the window thread).
  const CStatsHistory& History() const { return history_; }
  const AppOptions& Options() const { return options_; }
  // The file directory handed to the server (with its trailing "/").
  const std::string& FileDir() const { return fileDir_; }
  // The LED device's text file: --led-file, or "weather.htm" in the file directory.
  std::string LedFile() const;

  // The nine event handlers, registered with the device server; `user` is the dialog.
  static void OnAccept(void* user, const AcceptInfo* info, int* accept);
  static void OnAcceptErr(void* user, Socket listenSocket);
  static void OnSocketConnect(void* user, Socket socket);
  static void OnSocketDisconnect(void* user, Socket socket, int reason);
  static void OnRecvData(void* user, const char* data, int length);
  static void OnRecvFileRequest(void* user, const char* path, int* accept);
  static void OnRecvFileProgress(void* user, int done, int total);
  static void OnRecvFileSucc(void* user, const char* path);
  static void OnRecvFileFail(void* user, const char* path, int reason);
  // Why a connection was refused.
  static void OnNotice(void* user, const char* text);

 private:

  // Sets the info line and logs it (any thread).
  void Report(const std::string& line);
  // Stores `text` as the newest of `line` and tells the listener when no
  // update of it is on its way.
  void SetText(TextLine line, const std::string& text);

  platform::MessageLoop& loop_;
  const AppOptions options_;
  CEventLog& log_;
  std::string fileDir_;
  std::unique_ptr<CSocketServer> server_;
  ApiContext apiContext_;
  std::unique_ptr<HttpServer> httpServer_;  // created on the window thread, run on the HTTP thread
  std::thread httpThread_;
  std::unique_ptr<CAdminServer> adminServer_;  // created on the window thread, run on the admin thread
  std::thread adminThread_;
  CStatsHistory history_;
  std::unique_ptr<CEventWebhook> webhook_;  // created and stopped on the window thread
  std::unique_ptr<CClusterNode> cluster_;   // --cluster: created and stopped on the window thread
  platform::TimerId refreshTimer_ = 0;
  bool shutDown_ = false;

  std::mutex viewLock_;
  std::function<void(const DeviceView&)> viewListener_;  // guarded by viewLock_
  std::mutex listenerLock_;
  std::function<void(TextLine)> textListener_;            // guarded by listenerLock_

  mutable std::mutex textLock_;
  std::string infoText_;       // guarded by textLock_
  std::string lastData_;       // guarded by textLock_
  bool infoQueued_ = false;    // guarded by textLock_: an update of the info line is on its way
  bool lastDataQueued_ = false;  // guarded by textLock_
};

}  // namespace velmo
