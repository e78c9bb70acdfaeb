// CSocketServer: the TCP device server as its owner (the main dialog) sees it:
// settings, the nine event callbacks, the listener, and bulk operations over the
// process-wide client list.
//
// Settings are copied, not referenced: the listener takes bind address, port,
// accept priority and its three callbacks at every Start; each connection takes
// the other settings and callbacks when it is created.
//
// Thread safety: not thread safe; every operation runs on the window thread (the
// thread of the message loop given to the constructor), and every callback but
// OnRecvData is called there.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/MessageLoop.h"
#include "socketserver/AcceptSocket.h"
#include "socketserver/ClientProtocol.h"
#include "socketserver/ClientThreads.h"
#include "socketserver/ServerClientSocket.h"
#include "socketserver/ServerTypes.h"

namespace velmo {

class CSocketServer {
 public:
  // `userData` is passed back as the first argument of every callback.
  CSocketServer(platform::MessageLoop& loop, void* userData);
  // Stops the listener, cancels every file reception ("-22"), tears down every
  // connection without callbacks.
  ~CSocketServer();
  CSocketServer(const CSocketServer&) = delete;
  CSocketServer& operator=(const CSocketServer&) = delete;

  // Texts are cut to 259 bytes.
  void SetBindAddress(const char* address);
  void SetFileDir(const char* dir);
  void SetPort(std::uint16_t port) { port_ = port; }
  void SetSendTimeout(std::uint32_t ms) { sendTimeoutMs_ = ms; }
  void SetProgressInterval(std::uint32_t ms) { progressIntervalMs_ = ms; }
  void SetAcceptThreadPriority(int p) { acceptThreadPriority_ = p; }
  void SetClientThreadPriority(int p) { clientThreadPriority_ = p; }
  void SetTimings(const ServerTimings& t) { timings_ = t; }
  void SetProtocolFactory(ProtocolFactory factory) { protocolFactory_ = std::move(factory); }

  void SetOnAccept(OnAcceptFn fn) { onAccept_ = fn; }
  void SetOnAcceptErr(OnAcceptErrFn fn) { onAcceptErr_ = fn; }
  void SetOnSocketConnect(OnSocketConnectFn fn) { onSocketConnect_ = fn; }
  void SetOnSocketDisconnect(OnSocketDisconnectFn fn) { callbacks_.onSocketDisconnect = fn; }
  void SetOnRecvData(OnRecvDataFn fn) { callbacks_.onRecvData = fn; }
  void SetOnRecvFileRequest(OnRecvFileRequestFn fn) { callbacks_.onRecvFileRequest = fn; }
  void SetOnRecvFileProgress(OnRecvFileProgressFn fn) { callbacks_.onRecvFileProgress = fn; }
  void SetOnRecvFileSucc(OnRecvFileSuccFn fn) { callbacks_.onRecvFileSucc = fn; }
  void SetOnRecvFileFail(OnRecvFileFailFn fn) { callbacks_.onRecvFileFail = fn; }
  void SetOnNotice(OnNoticeFn fn) { onNotice_ = fn; }

  // (Re)starts the listener; connections stay. Returns true when listening;
  // otherwise LastStartError() says why.
  bool Start();
  // Stops the listener only; connections stay and keep working.
  void StopListening();
  // Tears down every connection; no callbacks, nothing sent.
  void CloseAllConnections();
  // Cancels every file reception in progress, in list order.
  void CancelAllRecv();

  // Creates, sets up and registers a connection for an accepted socket. Returns
  // null (socket closed, nothing reported) when the set-up fails.
  std::shared_ptr<CServerClientSocket> CreateClient(std::unique_ptr<AcceptInfo> info);

  int CountNoSn() const;
  int CountWithSn() const;
  std::vector<DeviceRow> GetDeviceRows() const;

  bool IsListening() const { return acceptSocket_->IsListening(); }
  std::uint16_t ListeningPort() const { return acceptSocket_->BoundPort(); }
  const std::string& LastStartError() const { return acceptSocket_->LastError(); }
  const char* FileDir() const { return fileDir_; }
  platform::MessageLoop& Loop() const { return loop_; }

 private:
  platform::MessageLoop& loop_;
  void* const userData_;
  std::unique_ptr<CAcceptSocket> acceptSocket_;
  std::unique_ptr<CConnectionMonitor> monitor_;  // started with the first connection
  char bindAddress_[260] = {};
  char fileDir_[260] = {};
  std::uint16_t port_ = 8000;
  std::uint32_t sendTimeoutMs_ = 15000;
  std::uint32_t progressIntervalMs_ = 100;
  int acceptThreadPriority_ = kThreadPriorityAboveNormal;
  int clientThreadPriority_ = kThreadPriorityBelowNormal;
  ServerTimings timings_;
  ProtocolFactory protocolFactory_;
  OnAcceptFn onAccept_ = nullptr;
  OnAcceptErrFn onAcceptErr_ = nullptr;
  OnSocketConnectFn onSocketConnect_ = nullptr;
  OnNoticeFn onNotice_ = nullptr;
  ConnectionCallbacks callbacks_;
};

// Copies `text` into a 260-byte field, cut to 259 bytes, always terminated.
void CopyTextField(char (&field)[260], const char* text);

}  // namespace velmo
