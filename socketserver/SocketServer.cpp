#include "socketserver/SocketServer.h"

#include <cassert>
#include <cstring>

#include "socketserver/ClientRegistry.h"

namespace velmo {

void CopyTextField(char (&field)[260], const char* text) {
  std::size_t n = text ? strnlen(text, sizeof field - 1) : 0;
  if (n) std::memcpy(field, text, n);
  field[n] = '\0';
}

CSocketServer::CSocketServer(platform::MessageLoop& loop, void* userData)
    : loop_(loop), userData_(userData), acceptSocket_(std::make_unique<CAcceptSocket>(*this, loop, userData)) {}

CSocketServer::~CSocketServer() {
  acceptSocket_->Stop();
  CancelAllRecv();
  CloseAllConnections();
  if (monitor_) {
    monitor_->RequestStop();
    monitor_->Join();
  }
  acceptSocket_.reset();
}

void CSocketServer::SetBindAddress(const char* address) { CopyTextField(bindAddress_, address); }

void CSocketServer::SetFileDir(const char* dir) { CopyTextField(fileDir_, dir); }

bool CSocketServer::Start() {
  assert(loop_.IsLoopThread());
  CAcceptSocket::Config config;
  std::memcpy(config.bindAddress, bindAddress_, sizeof bindAddress_);
  config.port = port_;
  config.acceptThreadPriority = acceptThreadPriority_;
  config.onAccept = onAccept_;
  config.onAcceptErr = onAcceptErr_;
  config.onSocketConnect = onSocketConnect_;
  config.onNotice = onNotice_;
  config.timings = timings_;
  return acceptSocket_->Start(config);
}

void CSocketServer::StopListening() { acceptSocket_->Stop(); }

void CSocketServer::CloseAllConnections() {
  assert(loop_.IsLoopThread());
  while (auto connection = CClientRegistry::Process().RemoveFirst()) connection->Close();
}

void CSocketServer::CancelAllRecv() {
  assert(loop_.IsLoopThread());
  for (const auto& connection : CClientRegistry::Process().Snapshot()) connection->Protocol().CancelTransfer();
}

std::shared_ptr<CServerClientSocket> CSocketServer::CreateClient(std::unique_ptr<AcceptInfo> info) {
  assert(loop_.IsLoopThread());
  if (!monitor_) {
    auto monitor = std::make_unique<CConnectionMonitor>(this, timings_.idleTick);
    if (!monitor->IsCreated()) {
      platform::CloseSocket(info->socket);
      if (onNotice_) onNotice_(userData_, "refused a connection: no thread could be started for it");
      return nullptr;
    }
    monitor->Resume();
    monitor_ = std::move(monitor);
  }
  ConnectionSettings settings;
  settings.owner = this;
  settings.userData = userData_;
  settings.sendTimeoutMs = sendTimeoutMs_;
  settings.progressIntervalMs = progressIntervalMs_;
  settings.threadPriority = clientThreadPriority_;
  std::memcpy(settings.fileDir, fileDir_, sizeof fileDir_);
  settings.callbacks = callbacks_;
  settings.timings = timings_;

  auto connection = std::make_shared<CServerClientSocket>(loop_, settings);
  connection->TakeAcceptInfo(std::move(info));
  if (!connection->Setup(protocolFactory_)) {
    if (onNotice_) onNotice_(userData_, ("refused a connection: " + connection->SetupError()).c_str());
    connection->Close();
    return nullptr;
  }
  CClientRegistry::Process().Append(connection);
  return connection;
}

int CSocketServer::CountNoSn() const {
  int n = 0;
  CClientRegistry::Process().ForEach([&](const CServerClientSocket& c) { n += c.HasSn() ? 0 : 1; });
  return n;
}

int CSocketServer::CountWithSn() const {
  int n = 0;
  CClientRegistry::Process().ForEach([&](const CServerClientSocket& c) { n += c.HasSn() ? 1 : 0; });
  return n;
}

std::vector<DeviceRow> CSocketServer::GetDeviceRows() const {
  std::vector<DeviceRow> rows;
  CClientRegistry::Process().ForEach([&](const CServerClientSocket& c) {
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
