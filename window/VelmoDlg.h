// CVelmoDlg: the main dialog's logic, without any widget: a face on the
// program (CVelmo). It starts and stops the program with the window, refreshes
// the device view once a second (the counters and the device list), forwards
// the buttons, and passes on the two text lines the program's event
// handlers keep. The Qt window (window/qt) shows what it reports; tests drive
// it directly.
//
// Thread safety: everything runs on the window thread (the message loop's)
// except the text lines, which come from any thread (see
// CServerEventHandlers). The view listener is guarded: once the setter
// returns, the old listener is no longer called.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/ServerEventHandlers.h"
#include "app/Velmo.h"
#include "platform/MessageLoop.h"
#include "socketserver/ServerTypes.h"

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
  using TextLine = CServerEventHandlers::TextLine;

  explicit CVelmoDlg(CVelmo& velmo);
  ~CVelmoDlg();  // Shutdown()
  CVelmoDlg(const CVelmoDlg&) = delete;
  CVelmoDlg& operator=(const CVelmoDlg&) = delete;

  // Starts the program (see CVelmo::Start) and the one-second refresh.
  void OnInitDialog();
  // Kills the refresh and shuts the program down. Idempotent; the window
  // calls it before it goes.
  void Shutdown();

  // Buttons.
  void OnStartListen() { velmo_.StartListen(); }
  void OnStopListen() { velmo_.StopListen(); }
  void OnCloseAll() { velmo_.CloseAll(); }
  void OnCancelRecv() { velmo_.CancelRecv(); }
  // Hidden button "...": the file directory of connections created from now on.
  void SetFileDir(const std::string& path) { velmo_.SetFileDir(path); }

  // Timer 4097: recomputes the counters and rows and hands them to the view.
  void RefreshDeviceView();
  void SetViewListener(std::function<void(const DeviceView&)> listener);

  // The hidden info line and the last-data line (see CServerEventHandlers).
  void SetTextListener(std::function<void(TextLine)> listener) { velmo_.Handlers().SetTextListener(std::move(listener)); }
  std::string TakeText(TextLine line) { return velmo_.Handlers().TakeText(line); }
  std::string InfoText() const { return velmo_.Handlers().InfoText(); }
  std::string LastData() const { return velmo_.Handlers().LastData(); }

  CVelmo& Velmo() const { return velmo_; }
  platform::MessageLoop& Loop() const { return velmo_.Loop(); }

 private:
  CVelmo& velmo_;
  platform::TimerId refreshTimer_ = 0;
  bool shutDown_ = false;
  std::mutex viewLock_;
  std::function<void(const DeviceView&)> viewListener_;  // guarded by viewLock_
};

}  // namespace velmo
