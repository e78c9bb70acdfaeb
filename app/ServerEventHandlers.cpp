#include "app/ServerEventHandlers.h"

#include <cstring>

#include "platform/EventLog.h"

namespace velmo {

namespace {
constexpr int kLastDataBytes = 10240;  // the last-data text holds 10239 bytes + NUL

CServerEventHandlers& Handlers(void* user) { return *static_cast<CServerEventHandlers*>(user); }

// The handlers the device server calls on the window thread.
CServerEventHandlers& OnWindow(void* user, const char* what) {
  CServerEventHandlers& h = Handlers(user);
  h.Window().AssertInLoopThread(what);
  return h;
}
}  // namespace

void CServerEventHandlers::SetTextListener(std::function<void(TextLine)> listener) {
  std::lock_guard<std::mutex> lock(listenerLock_);
  textListener_ = std::move(listener);
}

std::string CServerEventHandlers::InfoText() const {
  std::lock_guard<std::mutex> lock(textLock_);
  return infoText_;
}

std::string CServerEventHandlers::LastData() const {
  std::lock_guard<std::mutex> lock(textLock_);
  return lastData_;
}

std::string CServerEventHandlers::TakeText(TextLine line) {
  std::lock_guard<std::mutex> lock(textLock_);
  if (line == TextLine::Info) {
    infoQueued_ = false;
    return infoText_;
  }
  lastDataQueued_ = false;
  return lastData_;
}

void CServerEventHandlers::SetText(TextLine line, const std::string& text) {
  bool tell;
  {
    std::lock_guard<std::mutex> lock(textLock_);
    bool& queued = line == TextLine::Info ? infoQueued_ : lastDataQueued_;
    (line == TextLine::Info ? infoText_ : lastData_) = text;
    tell = !queued;
    queued = true;
  }
  if (!tell) return;  // the update on its way takes the newest text
  std::lock_guard<std::mutex> lock(listenerLock_);
  if (textListener_) {
    textListener_(line);
  } else {
    std::lock_guard<std::mutex> textLock(textLock_);
    (line == TextLine::Info ? infoQueued_ : lastDataQueued_) = false;  // nobody shows it
  }
}

void CServerEventHandlers::Report(const std::string& line) {
  SetText(TextLine::Info, line);
  log_.Append(line);
}

void CServerEventHandlers::OnAccept(void* user, const AcceptInfo* info, int* /*accept*/) {
  OnWindow(user, "CServerEventHandlers::OnAccept").Report("OnAccept-" + std::to_string(info->socket) + " " + PeerText(*info));  // the flag stays 1
}

void CServerEventHandlers::OnAcceptErr(void* user, Socket listenSocket) {
  OnWindow(user, "CServerEventHandlers::OnAcceptErr").Report("OnAcceptErr-" + std::to_string(listenSocket));
}

void CServerEventHandlers::OnSocketConnect(void* user, Socket socket) {
  OnWindow(user, "CServerEventHandlers::OnSocketConnect").Report("OnSocketConnect-" + std::to_string(socket));
}

void CServerEventHandlers::OnSocketDisconnect(void* user, Socket socket, int reason) {
  OnWindow(user, "CServerEventHandlers::OnSocketDisconnect").Report("OnSocketDisconnect-" + std::to_string(socket) +
                        ", SocketCloseReason=" + std::to_string(reason));
}

void CServerEventHandlers::OnRecvData(void* user, const char* data, int length) {
  // The text is the data up to its first zero byte, at most 10239 bytes.
  std::size_t n = length > 0 ? static_cast<std::size_t>(length) : 0;
  if (n > kLastDataBytes - 1) n = kLastDataBytes - 1;
  std::string text(data, strnlen(data, n));
  CServerEventHandlers& h = Handlers(user);
  h.SetText(TextLine::LastData, text);
  h.log_.Append(text);
}

void CServerEventHandlers::OnRecvFileRequest(void* user, const char* path, int* accept) {
  OnWindow(user, "CServerEventHandlers::OnRecvFileRequest").Report(std::string("OnRecvFileRequest: ") + path);
  *accept = 1;
}

void CServerEventHandlers::OnRecvFileProgress(void* user, int done, int total) {
  OnWindow(user, "CServerEventHandlers::OnRecvFileProgress").Report(std::to_string(total - done) + " / " + std::to_string(total));
}

void CServerEventHandlers::OnNotice(void* user, const char* text) { Handlers(user).Report(text); }

void CServerEventHandlers::OnRecvFileSucc(void* user, const char* /*path*/) { OnWindow(user, "CServerEventHandlers::OnRecvFileSucc").Report("OnRecvFileSucc"); }

void CServerEventHandlers::OnRecvFileFail(void* user, const char* /*path*/, int reason) {
  OnWindow(user, "CServerEventHandlers::OnRecvFileFail").Report("OnRecvFileFail, RecvFileFailReason = " + std::to_string(reason));
}

}  // namespace velmo
