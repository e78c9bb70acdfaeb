#include "socketserver/AcceptSocket.h"

#include <cassert>
#include <cerrno>
#include <chrono>

#include "platform/Socket.h"
#include "socketserver/ServerClientSocket.h"
#include "socketserver/SocketServer.h"

namespace velmo {

CAcceptThread::CAcceptThread(CAcceptSocket& owner, platform::MessageLoop& loop, platform::TargetId notify,
                             Socket listenSocket, int priority, const ServerTimings& timings, int spare)
    : CThread(priority, 64 * 1024),
      owner_(owner),
      loop_(loop),
      notify_(notify),
      listenSocket_(listenSocket),
      timings_(timings),
      spare_(spare) {}

CAcceptThread::~CAcceptThread() { platform::CloseSocket(spare_); }

void CAcceptThread::Run() {
  const auto ownerParam = reinterpret_cast<std::uintptr_t>(&owner_);
  auto lastNotice = std::chrono::steady_clock::now() - std::chrono::seconds(2);
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
      case platform::AcceptStatus::Exhausted: {
        // Out of descriptors: give up the spare one for a moment to take the
        // waiting connection and close it, so its peer is refused cleanly.
        // Otherwise (no spare, no memory) the connection waits in the backlog.
        bool refused = false;
        if (spare_ >= 0 && platform::AcceptPending(listenSocket_)) {
          platform::CloseSocket(spare_);
          int fd = platform::kInvalidSocket;
          platform::Ipv4SockAddr peer;
          int ignored = 0;
          if (platform::Accept(listenSocket_, &fd, &peer, &ignored) == platform::AcceptStatus::Ok) {
            platform::CloseSocket(fd);
            refused = true;
          }
          spare_ = platform::OpenSpareDescriptor();
        }
        auto now = std::chrono::steady_clock::now();
        if (now - lastNotice >= std::chrono::seconds(1)) {  // at most one line a second
          lastNotice = now;
          loop_.Post(notify_, WM_ACCEPT_REFUSED, static_cast<std::uintptr_t>(err), ownerParam);
        }
        if (!refused) StopFlag().WaitFor(timings_.acceptBackoff);
        continue;
      }
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
                                                  config_.acceptThreadPriority, config_.timings,
                                                  platform::OpenSpareDescriptor());
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
  } else if (msg == WM_ACCEPT_REFUSED) {
    if (config_.onNotice) {
      int err = static_cast<int>(wParam);
      std::string text = "refused a connection: accept: " + platform::ErrorText(err);
      if (err == EMFILE || err == ENFILE) text += " (raise the descriptor limit: ulimit -n)";
      config_.onNotice(userData_, text.c_str());
    }
  } else if (msg == WM_ACCEPT_ERROR) {
    if (config_.onAcceptErr) config_.onAcceptErr(userData_, listenSocket_);
    Stop();
  }
}

}  // namespace velmo
