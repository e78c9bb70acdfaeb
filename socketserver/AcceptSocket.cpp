#include "socketserver/AcceptSocket.h"

#include <cassert>

#include "platform/Socket.h"
#include "socketserver/ServerClientSocket.h"
#include "socketserver/SocketServer.h"

namespace velmo {

CAcceptThread::CAcceptThread(CAcceptSocket& owner, platform::MessageLoop& loop, platform::TargetId notify,
                             Socket listenSocket, int priority, const ServerTimings& timings)
    : CThread(priority, 64 * 1024),
      owner_(owner),
      loop_(loop),
      notify_(notify),
      listenSocket_(listenSocket),
      timings_(timings) {}

void CAcceptThread::Run() {
  const auto ownerParam = reinterpret_cast<std::uintptr_t>(&owner_);
  while (!IsStopRequested()) {
    auto info = std::make_unique<AcceptInfo>();
    int err = 0;
    platform::AcceptStatus status = platform::Accept(listenSocket_, &info->socket, &info->address, &err);
    if (status == platform::AcceptStatus::Ok) {
      if (IsStopRequested()) {
        platform::CloseSocket(info->socket);
        return;
      }
      AcceptInfo* record = info.release();
      if (!platform::PostWithRetry(loop_, notify_, WM_NEW_CONNECTION, reinterpret_cast<std::uintptr_t>(record),
                                   ownerParam, StopFlag(), timings_.postRetry)) {
        platform::CloseSocket(record->socket);
        delete record;
      }
      continue;
    }
    if (IsStopRequested()) return;  // woken by Stop()
    switch (status) {
      case platform::AcceptStatus::Transient:
        continue;  // the peer gave up before we took it, or a signal: listening goes on
      case platform::AcceptStatus::Exhausted:
        // Out of descriptors or memory: the connection waits in the backlog
        // until a descriptor is free again.
        StopFlag().WaitFor(timings_.acceptBackoff);
        continue;
      default:
        platform::PostWithRetry(loop_, notify_, WM_ACCEPT_ERROR, 0, ownerParam, StopFlag(), timings_.postRetry);
        return;
    }
  }
}

CAcceptSocket::CAcceptSocket(CSocketServer& server, platform::MessageLoop& loop, void* userData)
    : server_(server), loop_(loop), userData_(userData) {}

CAcceptSocket::~CAcceptSocket() { Stop(); }

bool CAcceptSocket::Start(const Config& config) {
  assert(loop_.IsLoopThread());
  Stop();
  config_ = config;
  lastError_.clear();
  notify_ = loop_.CreateTarget(
      [this](std::uint32_t msg, std::uintptr_t wParam, std::uintptr_t) { OnMessage(msg, wParam); });
  listenSocket_ = platform::OpenListener(config_.bindAddress, config_.port, &lastError_);
  if (listenSocket_ == platform::kInvalidSocket) {
    Stop();
    return false;
  }
  boundPort_ = platform::LocalPort(listenSocket_);
  acceptThread_ = std::make_unique<CAcceptThread>(*this, loop_, notify_, listenSocket_,
                                                  config_.acceptThreadPriority, config_.timings);
  if (!acceptThread_->IsCreated()) {
    lastError_ = "accept thread: no thread could be created";
    Stop();
    return false;
  }
  acceptThread_->Resume();
  return true;
}

void CAcceptSocket::Stop() {
  assert(loop_.IsLoopThread());
  if (acceptThread_) acceptThread_->RequestStop();
  platform::ShutdownBoth(listenSocket_);  // a blocked accept returns at once
  if (acceptThread_) {
    acceptThread_->Join();
    acceptThread_.reset();
  }
  platform::CloseSocket(listenSocket_);
  listenSocket_ = platform::kInvalidSocket;
  boundPort_ = 0;
  if (notify_ != 0) {
    for (const platform::Message& m : loop_.Remove(notify_, WM_NEW_CONNECTION)) {
      auto* record = reinterpret_cast<AcceptInfo*>(m.wParam);
      platform::CloseSocket(record->socket);
      delete record;
    }
    loop_.DestroyTarget(notify_);
    notify_ = 0;
  }
}

void CAcceptSocket::OnMessage(std::uint32_t msg, std::uintptr_t wParam) {
  if (msg == WM_NEW_CONNECTION) {
    std::unique_ptr<AcceptInfo> info(reinterpret_cast<AcceptInfo*>(wParam));
    int accept = 1;
    if (config_.onAccept) config_.onAccept(userData_, info.get(), &accept);
    if (accept == 0) {
      platform::CloseSocket(info->socket);
      return;
    }
    std::shared_ptr<CServerClientSocket> connection = server_.CreateClient(std::move(info));
    if (!connection) return;
    if (config_.onSocketConnect) config_.onSocketConnect(userData_, connection->GetSocket());
    connection->ResumeReceiving();
  } else if (msg == WM_ACCEPT_ERROR) {
    if (config_.onAcceptErr) config_.onAcceptErr(userData_, listenSocket_);
    Stop();
  }
}

}  // namespace velmo
