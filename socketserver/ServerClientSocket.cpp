#include "socketserver/ServerClientSocket.h"

#include <cassert>
#include <cstdio>
#include <cstring>

#include "socketserver/ClientRegistry.h"
#include "socketserver/ClientThreads.h"

namespace velmo {

namespace {

// The protocol of a server that was given none: received bytes are dropped.
class CNullProtocol final : public IClientProtocol {
 public:
  bool Setup() override { return true; }
  void OnReceived(const std::uint8_t*, int) override {}
  void CancelTransfer() override {}
  void Shutdown() override {}
};

}  // namespace

CServerClientSocket::CServerClientSocket(platform::MessageLoop& loop, const ConnectionSettings& settings)
    : loop_(loop), settings_(settings) {}

CServerClientSocket::~CServerClientSocket() { Close(); }

void CServerClientSocket::TakeAcceptInfo(std::unique_ptr<AcceptInfo> info) {
  socket_.store(info->socket);
  peerAddress_ = info->address;
  addressText_ = platform::Ipv4Text(info->address.addrNet);
  acceptInfo_ = std::move(info);
}

bool CServerClientSocket::Setup(const ProtocolFactory& factory) {
  assert(loop_.IsLoopThread());
  if (target_.load() == 0) {
    target_.store(loop_.CreateTarget([this](std::uint32_t msg, std::uintptr_t, std::uintptr_t) { OnMessage(msg); }));
  }
  if (!platform::SetSendTimeout(socket_.load(), settings_.sendTimeoutMs)) {
    setupError_ = "setsockopt(SO_SNDTIMEO) failed";
    return false;
  }
  platform::SetNoDelay(socket_.load());

  recvThread_ = std::make_unique<CServerClientSocketRecvThread>(*this, settings_.threadPriority);
  if (!recvThread_->IsCreated()) {
    setupError_ = "no thread could be started for it";
    return false;
  }

  protocol_ = factory ? factory(*this) : nullptr;
  if (!protocol_) protocol_ = std::make_unique<CNullProtocol>();

  if (!protocol_->Setup()) {
    setupError_ = "its protocol could not be set up";
    return false;
  }
  return true;
}

void CServerClientSocket::ResumeReceiving() {
  if (recvThread_) recvThread_->Resume();
}

const platform::StopSignal& CServerClientSocket::RecvStopFlag() const { return recvThread_->StopFlag(); }

void CServerClientSocket::PostClose(std::uint32_t message) {
  platform::PostWithRetry(loop_, target_.load(), message, 0, reinterpret_cast<std::uintptr_t>(this),
                          RecvStopFlag(), settings_.timings.postRetry);
}

void CServerClientSocket::MonitorTick() {
  int idle = AddIdleTick();
  if (idle > IdleLimitSeconds() && recvThread_ && !recvThread_->IsStopRequested()) {
    // One try: the next tick reports again if the window thread's queue is full.
    loop_.Post(target_.load(), WM_CLOSE_PEER, 0, reinterpret_cast<std::uintptr_t>(this));
  }
}

void CServerClientSocket::OnMessage(std::uint32_t msg) {
  int reason;
  switch (msg) {
    case WM_CLOSE_PEER: reason = kClosePeer; break;
    case WM_CLOSE_SEND_FAILED: reason = kCloseSendFailed; break;
    case WM_CLOSE_RECV_ERROR: reason = kCloseRecvFailed; break;
    default: return;
  }
  // Keep ourselves alive through the report and the teardown.
  std::shared_ptr<CServerClientSocket> self = CClientRegistry::Process().RemoveByPointer(this);
  if (auto fn = settings_.callbacks.onSocketDisconnect) fn(settings_.userData, socket_.load(), reason);
  Close();
}

void CServerClientSocket::Close() {
  if (closed_) return;
  closed_ = true;
  if (auto target = target_.exchange(0)) loop_.DestroyTarget(target);
  requestRing_.Abandon();  // whoever waits for this device stops waiting
  replyRing_.Abandon();
  const Socket fd = socket_.load();
  if (recvThread_) {
    recvThread_->RequestStop();
    platform::ShutdownBoth(fd);  // a blocked recv (or send) returns at once
    recvThread_->Join();
  }
  if (protocol_) {
    protocol_->Shutdown();
    protocol_.reset();
  }
  {
    std::lock_guard<std::mutex> lock(sendLock_);
    socket_.store(platform::kInvalidSocket);
  }
  platform::CloseSocket(fd);
  acceptInfo_.reset();
}

bool CServerClientSocket::SendFrame(std::uint8_t* frame, int payloadLength) {
  if (payloadLength < 0 || payloadLength > kMaxPayload) return false;
  char header[8];
  std::snprintf(header, sizeof header, "@%05d", payloadLength);
  std::memcpy(frame, header, kFrameHeader);
  return SendRaw(frame, static_cast<std::size_t>(payloadLength) + kFrameHeader);
}

bool CServerClientSocket::SendRaw(const void* data, std::size_t length) {
  std::lock_guard<std::mutex> lock(sendLock_);
  Socket fd = socket_.load();
  if (fd == platform::kInvalidSocket) return false;
  return platform::SendAll(fd, data, length);
}

void CServerClientSocket::SetSn(const char* bytes, std::size_t length) {
  if (length > kTextField - 1) length = kTextField - 1;
  std::lock_guard<std::mutex> lock(snLock_);
  std::memcpy(sn_, bytes, length);
  sn_[length] = '\0';
}

std::string CServerClientSocket::GetSn() const {
  std::lock_guard<std::mutex> lock(snLock_);
  return std::string(sn_);
}

bool CServerClientSocket::HasSn() const {
  std::lock_guard<std::mutex> lock(snLock_);
  return sn_[0] != '\0';
}

bool CServerClientSocket::SnEquals(std::string_view sn) const {
  std::lock_guard<std::mutex> lock(snLock_);
  std::size_t len = std::strlen(sn_);
  return len == sn.size() && std::memcmp(sn_, sn.data(), len) == 0;
}

}  // namespace velmo
