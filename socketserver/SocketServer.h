// CSocketServer: the TCP device server as its owner (the program) sees it:
// settings, the nine event callbacks, the listener, the I/O threads, the
// list of connections with its SN index, the device counters and the device
// events, and the operations over all connections. The registry, counters
// and events are the server's own; the program hands them to whoever reads
// them (the device reach, the management port, the fleet membership), all of
// which it stops before the server goes.
//
// Threads: a fixed set of I/O threads (SetIoThreads, default one per core)
// owns the connections, each connection one thread, assigned in turn; the
// listener accepts on the first. Blocking file work runs on a few file
// threads. Nothing on these threads waits for the window thread.
//
// Settings are copied, not referenced: the listener takes bind address, port
// and its three callbacks at every Start; each connection takes the other
// settings and callbacks when it is created.
//
// Thread safety: not thread safe; every operation runs on the window thread
// (the thread of the message loop given to the constructor), and the
// callbacks are called there except OnRecvData and OnNotice, which may come
// from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/IoThread.h"
#include "platform/MessageLoop.h"
#include "socketserver/AcceptSocket.h"
#include "socketserver/ClientProtocol.h"
#include "socketserver/ClientRegistry.h"
#include "socketserver/DeviceCounters.h"
#include "socketserver/DeviceEvents.h"
#include "socketserver/IoWorker.h"
#include "socketserver/ServerClientSocket.h"
#include "socketserver/ServerTypes.h"

namespace velmo {

class CSocketServer {
 public:
  // `userData` is passed back as the first argument of every callback.
  CSocketServer(platform::MessageLoop& loop, void* userData);
  // Stops the listener, cancels every file reception ("-22"), tears down every
  // connection without callbacks, then stops the server's threads.
  ~CSocketServer();
  CSocketServer(const CSocketServer&) = delete;
  CSocketServer& operator=(const CSocketServer&) = delete;

  // Texts are cut to 259 bytes.
  void SetBindAddress(const char* address);
  void SetFileDir(const char* dir);
  void SetPort(std::uint16_t port) { port_ = port; }
  // How long a peer's output may stay full before it is closed with reason 1.
  void SetSendTimeout(std::uint32_t ms) { Change(sendTimeoutMs_, ms); }
  void SetProgressInterval(std::uint32_t ms) { Change(progressIntervalMs_, ms); }
  // The accepting side shares the first I/O thread: its priority is kept for
  // the interface's sake only.
  void SetAcceptThreadPriority(int p) { acceptThreadPriority_ = p; }
  // Priority of the I/O threads (best effort), taken when they start.
  void SetClientThreadPriority(int p) { clientThreadPriority_ = p; }
  // Number of I/O threads (0: one per core), taken when they start (the first
  // Start or CreateClient).
  void SetIoThreads(unsigned n) { ioThreads_ = n; }
  void SetTimings(const ServerTimings& t) { Change(timings_, t); }
  // Connections start with a PROXY protocol header (v1 or v2); taken at Start.
  void SetProxyProtocol(bool on) { proxyProtocol_ = on; }
  void SetProtocolFactory(ProtocolFactory factory) { protocolFactory_ = std::move(factory); }

  void SetOnAccept(OnAcceptFn fn) { onAccept_ = fn; }
  void SetOnAcceptErr(OnAcceptErrFn fn) { onAcceptErr_ = fn; }
  void SetOnSocketConnect(OnSocketConnectFn fn) { onSocketConnect_ = fn; }
  // The connection-side callbacks take effect for connections created afterwards.
  void SetOnSocketDisconnect(OnSocketDisconnectFn fn) { Change(callbacks_.onSocketDisconnect, fn); }
  void SetOnRecvData(OnRecvDataFn fn) { Change(callbacks_.onRecvData, fn); }
  void SetOnRecvFileRequest(OnRecvFileRequestFn fn) { Change(callbacks_.onRecvFileRequest, fn); }
  void SetOnRecvFileProgress(OnRecvFileProgressFn fn) { Change(callbacks_.onRecvFileProgress, fn); }
  void SetOnRecvFileSucc(OnRecvFileSuccFn fn) { Change(callbacks_.onRecvFileSucc, fn); }
  void SetOnRecvFileFail(OnRecvFileFailFn fn) { Change(callbacks_.onRecvFileFail, fn); }
  void SetOnNotice(OnNoticeFn fn) { Change(callbacks_.onNotice, fn); }

  // (Re)starts the listener; connections stay. Returns true when listening;
  // otherwise LastStartError() says why.
  bool Start();
  // Stops the listener only; connections stay and keep working.
  void StopListening();
  // Tears down every connection; no callbacks, nothing sent, no events.
  // Returns how many.
  std::size_t CloseAllConnections();
  // The operator's close of one connection: it leaves the list and is torn
  // down without a callback; the counters and the device events record it
  // as the operator's. Returns false (nothing done) when it is no longer in
  // the list.
  bool CloseByOperator(const std::shared_ptr<CServerClientSocket>& connection);
  // The operator's close of every connection, oldest first. Returns how many.
  std::size_t CloseAllByOperator();
  // Cancels every file reception in progress, in list order.
  void CancelAllRecv();

  // Creates, sets up and registers a connection for an accepted socket; it
  // starts reading when Start() is called on it. Returns null (socket closed,
  // a notice says why) when the set-up fails.
  std::shared_ptr<CServerClientSocket> CreateClient(std::unique_ptr<AcceptInfo> info);

  int CountNoSn() const { return static_cast<int>(registry_.CountNoSn()); }
  int CountWithSn() const { return static_cast<int>(registry_.CountWithSn()); }
  std::vector<DeviceRow> GetDeviceRows() const;

  // Any thread: the server's connections, counters and device events.
  CClientRegistry& Registry() { return registry_; }
  const CClientRegistry& Registry() const { return registry_; }
  CDeviceCounters& Counters() { return counters_; }
  CDeviceEvents& Events() { return events_; }

  bool IsListening() const { return acceptSocket_->IsListening(); }
  std::uint16_t ListeningPort() const { return acceptSocket_->BoundPort(); }
  const std::string& LastStartError() const;
  const char* FileDir() const { return fileDir_; }
  platform::MessageLoop& Loop() const { return loop_; }
  // The I/O threads (started on first use); for tests and figures.
  std::size_t IoThreadCount() const { return workers_.size(); }
  CIoWorker& Worker(std::size_t i) { return *workers_.at(i); }

 private:
  // Sets a field that connections copy: the next connection gets fresh settings.
  template <class T>
  void Change(T& field, const T& value) {
    field = value;
    settings_.reset();
  }
  bool StartThreads();
  // The operator's close of a connection already out of the list: torn down
  // without a callback, recorded as the operator's by the counters and events.
  void OperatorClose(CServerClientSocket& connection);
  std::shared_ptr<const ConnectionSettings> CurrentSettings();
  void OnCloseMessage(std::uint32_t msg, std::uintptr_t id);

  platform::MessageLoop& loop_;
  void* const userData_;
  // Declared before everything that runs: they outlive the threads and every
  // connection's teardown.
  CClientRegistry registry_;
  CDeviceCounters counters_;
  CDeviceEvents events_;
  std::unique_ptr<CAcceptSocket> acceptSocket_;
  std::vector<std::unique_ptr<CIoWorker>> workers_;
  std::unique_ptr<platform::CIoThread> files_;
  std::shared_ptr<CConnectionEnv> env_;
  platform::TargetId closeTarget_ = 0;
  std::size_t nextWorker_ = 0;
  std::string threadError_;

  char bindAddress_[260] = {};
  char fileDir_[260] = {};
  std::uint16_t port_ = 8000;
  std::uint32_t sendTimeoutMs_ = 15000;
  std::uint32_t progressIntervalMs_ = 100;
  bool proxyProtocol_ = false;
  int acceptThreadPriority_ = kThreadPriorityAboveNormal;
  int clientThreadPriority_ = kThreadPriorityBelowNormal;
  unsigned ioThreads_ = 0;
  ServerTimings timings_;
  ProtocolFactory protocolFactory_;
  OnAcceptFn onAccept_ = nullptr;
  OnAcceptErrFn onAcceptErr_ = nullptr;
  OnSocketConnectFn onSocketConnect_ = nullptr;
  ConnectionCallbacks callbacks_;
  std::shared_ptr<const ConnectionSettings> settings_;  // rebuilt after any change
};

// Copies `text` into a 260-byte field, cut to 259 bytes, always terminated.
void CopyTextField(char (&field)[260], const char* text);

}  // namespace velmo
