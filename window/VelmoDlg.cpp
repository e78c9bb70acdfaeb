#include "window/VelmoDlg.h"

#include <chrono>

#include "socketserver/SocketServer.h"

namespace velmo {

CVelmoDlg::CVelmoDlg(CVelmo& velmo) : velmo_(velmo) {}

CVelmoDlg::~CVelmoDlg() { Shutdown(); }

void CVelmoDlg::OnInitDialog() {
  velmo_.Start();
  refreshTimer_ = Loop().SetTimer(std::chrono::milliseconds(1000), [this] { RefreshDeviceView(); });
}

void CVelmoDlg::Shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  if (refreshTimer_) Loop().KillTimer(refreshTimer_);
  refreshTimer_ = 0;
  velmo_.Shutdown();
}

void CVelmoDlg::SetViewListener(std::function<void(const DeviceView&)> listener) {
  std::lock_guard<std::mutex> lock(viewLock_);
  viewListener_ = std::move(listener);
}

void CVelmoDlg::RefreshDeviceView() {
  Loop().AssertInLoopThread("CVelmoDlg::RefreshDeviceView");
  // Its own lock: device threads setting a text line never wait for this walk.
  std::lock_guard<std::mutex> lock(viewLock_);
  CSocketServer* server = velmo_.Server();
  if (!server || !viewListener_) return;  // nobody shows it
  DeviceView view;
  const CClientRegistry::Counts counts = server->Registry().CountBoth();
  view.clientCount = static_cast<int>(counts.clients);
  view.deviceCount = static_cast<int>(counts.devices);
  view.rows = server->GetDeviceRows();
  viewListener_(view);
}

}  // namespace velmo
