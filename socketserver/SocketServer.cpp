#include "socketserver/SocketServer.h"

#include <cstring>
#include <thread>

namespace velmo {

namespace {
constexpr std::size_t kFileThreads = 2;
// How long the destructor lets connections finish their teardown (a transfer
// stuck in slow file work) before it stops the threads anyway.
constexpr std::chrono::milliseconds kTeardownLimit{3000};
}  // namespace

void CopyTextField(char (&field)[260], const char* text) {
  std::size_t n = text ? strnlen(text, sizeof field - 1) : 0;
  if (n) std::memcpy(field, text, n);
  field[n] = '\0';
}

CSocketServer::CSocketServer(platform::MessageLoop& loop, void* userData)
    : loop_(loop), userData_(userData), acceptSocket_(std::make_unique<CAcceptSocket>(*this, loop, userData)) {
  closeTarget_ = loop_.CreateTarget(
      [this](std::uint32_t msg, std::uintptr_t wParam, std::uintptr_t) { OnCloseMessage(msg, wParam); });
}

CSocketServer::~CSocketServer() {
  acceptSocket_->Stop();
  CancelAllRecv();
  CloseAllConnections();
  if (env_) env_->WaitAllClosed(kTeardownLimit);
  for (auto& w : workers_) w->Stop();
  if (files_) files_->Stop();
  loop_.DestroyTarget(closeTarget_);
  acceptSocket_.reset();
}

void CSocketServer::SetBindAddress(const char* address) { CopyTextField(bindAddress_, address); }

void CSocketServer::SetFileDir(const char* dir) {
  CopyTextField(fileDir_, dir);
  settings_.reset();
}

std::shared_ptr<const ConnectionSettings> CSocketServer::CurrentSettings() {
  if (!settings_) {
    auto s = std::make_shared<ConnectionSettings>();
    s->userData = userData_;
    s->sendTimeoutMs = sendTimeoutMs_;
    s->progressIntervalMs = progressIntervalMs_;
    std::memcpy(s->fileDir, fileDir_, sizeof fileDir_);
    s->callbacks = callbacks_;
    s->timings = timings_;
    settings_ = std::move(s);
  }
  return settings_;
}

bool CSocketServer::StartThreads() {
  if (!workers_.empty()) return true;
  if (!threadError_.empty()) return false;
  unsigned n = ioThreads_ != 0 ? ioThreads_ : std::thread::hardware_concurrency();
  if (n == 0) n = 1;
  auto files = std::make_unique<platform::CIoThread>("velmo-file", kFileThreads);
  std::vector<std::unique_ptr<CIoWorker>> workers;
  bool ok = files->Start();
  for (unsigned i = 0; ok && i < n; ++i) {
    workers.push_back(std::make_unique<CIoWorker>("velmo-io-" + std::to_string(i), timings_.idleTick,
                                                  clientThreadPriority_));
    ok = workers.back()->Start();
  }
  if (!ok) {
    threadError_ = "I/O threads: no thread could be created";
    return false;
  }
  files_ = std::move(files);
  workers_ = std::move(workers);
  env_ = std::make_shared<CConnectionEnv>(loop_, closeTarget_, files_->ContextRef(), registry_, counters_, events_);
  return true;
}

const std::string& CSocketServer::LastStartError() const {
  return threadError_.empty() ? acceptSocket_->LastError() : threadError_;
}

bool CSocketServer::Start() {
  loop_.AssertInLoopThread("CSocketServer::Start");
  if (!StartThreads()) {
    acceptSocket_->Stop();
    return false;
  }
  CAcceptSocket::Config config;
  std::memcpy(config.bindAddress, bindAddress_, sizeof bindAddress_);
  config.port = port_;
  config.onAccept = onAccept_;
  config.onAcceptErr = onAcceptErr_;
  config.onSocketConnect = onSocketConnect_;
  config.onNotice = callbacks_.onNotice;
  config.timings = timings_;
  config.proxyProtocol = proxyProtocol_;
  return acceptSocket_->Start(config, *workers_.front());
}

void CSocketServer::StopListening() { acceptSocket_->Stop(); }

std::size_t CSocketServer::CloseAllConnections() {
  loop_.AssertInLoopThread("CSocketServer::CloseAllConnections");
  std::size_t closed = 0;
  while (auto connection = registry_.RemoveFirst()) {
    connection->Close();
    ++closed;
  }
  return closed;
}

void CSocketServer::OperatorClose(CServerClientSocket& connection) {
  connection.Close();  // no disconnect callback: the operator knows
  counters_.Disconnected(DisconnectKind::Operator);
  events_.Publish(DeviceEvent::Disconnected, connection, DeviceEvent::kOperatorReason);
}

bool CSocketServer::CloseByOperator(const std::shared_ptr<CServerClientSocket>& connection) {
  loop_.AssertInLoopThread("CSocketServer::CloseByOperator");
  if (!connection || !registry_.RemoveByPointer(connection.get())) return false;
  OperatorClose(*connection);
  return true;
}

std::size_t CSocketServer::CloseAllByOperator() {
  loop_.AssertInLoopThread("CSocketServer::CloseAllByOperator");
  std::size_t closed = 0;
  for (; auto connection = registry_.RemoveFirst(); ++closed) OperatorClose(*connection);
  return closed;
}

void CSocketServer::CancelAllRecv() {
  loop_.AssertInLoopThread("CSocketServer::CancelAllRecv");
  for (const auto& connection : registry_.Snapshot()) {
    CServerClientSocket* c = connection.get();
    connection->Post([c] { c->Protocol().CancelTransfer(); });
  }
}

std::shared_ptr<CServerClientSocket> CSocketServer::CreateClient(std::unique_ptr<AcceptInfo> info) {
  loop_.AssertInLoopThread("CSocketServer::CreateClient");
  if (!StartThreads()) {
    platform::CloseSocket(info->socket);
    if (callbacks_.onNotice) callbacks_.onNotice(userData_, ("refused a connection: " + threadError_).c_str());
    return nullptr;
  }
  CIoWorker& worker = *workers_[nextWorker_++ % workers_.size()];
  auto connection = std::make_shared<CServerClientSocket>(env_, CurrentSettings(), worker);
  connection->TakeAcceptInfo(std::move(info));
  if (!connection->Setup(protocolFactory_)) {
    if (callbacks_.onNotice) {
      callbacks_.onNotice(userData_, ("refused a connection: " + connection->SetupError()).c_str());
    }
    connection->Close();
    return nullptr;
  }
  registry_.Append(connection);
  return connection;
}

void CSocketServer::OnCloseMessage(std::uint32_t msg, std::uintptr_t id) {
  int reason;
  switch (msg) {
    case WM_CLOSE_PEER: reason = kClosePeer; break;
    case WM_CLOSE_SEND_FAILED: reason = kCloseSendFailed; break;
    case WM_CLOSE_RECV_ERROR: reason = kCloseRecvFailed; break;
    default: return;
  }
  // Reported once: a later close message finds the connection gone.
  std::shared_ptr<CServerClientSocket> connection = registry_.RemoveById(id);
  if (!connection) return;
  counters_.Disconnected(static_cast<DisconnectKind>(reason));
  events_.Publish(DeviceEvent::Disconnected, *connection, reason);
  if (auto fn = connection->Settings().callbacks.onSocketDisconnect) {
    fn(connection->UserData(), connection->GetSocket(), reason);
  }
  connection->Close();
}

std::vector<DeviceRow> CSocketServer::GetDeviceRows() const {
  std::vector<DeviceRow> rows;
  registry_.ForEach([&](const CServerClientSocket& c) {
    std::string sn = c.GetSn();
    if (sn.empty() || c.AddressText().empty()) return;
    DeviceRow row;
    CopyTextField(row.sn, sn.c_str());
    CopyTextField(row.address, c.AddressText().c_str());
    rows.push_back(row);
  });
  return rows;
}

}  // namespace velmo
