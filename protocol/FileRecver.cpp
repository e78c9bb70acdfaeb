#include "protocol/FileRecver.h"

#include <cassert>
#include <vector>

#include "platform/Clock.h"
#include "socketserver/ServerTypes.h"

namespace velmo {

ProtocolFactory MakeProtocolFactory(ProtocolSettings settings) {
  auto shared = std::make_shared<const ProtocolSettings>(std::move(settings));
  return [shared](CServerClientSocket& connection) { return std::make_unique<CFileRecver>(connection, shared); };
}

CFileRecver::CFileRecver(CServerClientSocket& connection, std::shared_ptr<const ProtocolSettings> settings)
    : conn_(connection), settings_(std::move(settings)), lastProgressTick_(platform::TickMs()) {}

CFileRecver::~CFileRecver() { Shutdown(); }

bool CFileRecver::Setup() {
  assert(conn_.Loop().IsLoopThread());
  if (receiverWindow_.load() == 0) {
    receiverWindow_.store(conn_.Loop().CreateTarget(
        [this](std::uint32_t msg, std::uintptr_t, std::uintptr_t) { OnReceiverMessage(msg); }));
  }
  return receiverWindow_.load() != 0;
}

void CFileRecver::Shutdown() {
  // Queued heartbeat and transfer messages go with the target; a partly
  // received file stays on disk as it is.
  if (auto target = receiverWindow_.exchange(0)) conn_.Loop().DestroyTarget(target);
  std::lock_guard<std::recursive_mutex> lock(lock_);
  CloseTransfer();
}

void CFileRecver::OnReceived(const std::uint8_t* data, int length) {
  assembler_.AssembleFrames(data, length, *this);
}

bool CFileRecver::Stopping() const { return conn_.RecvStopFlag().IsSet(); }

void CFileRecver::OnFrame(int code, const std::uint8_t* payload, int length) {
  if (code < 0) {
    DispatchFrame(code, payload, length);
  } else if (auto fn = conn_.Settings().callbacks.onRecvData) {
    fn(conn_.UserData(), reinterpret_cast<const char*>(payload), length);
  }
}

int CFileRecver::OnPost(const std::uint8_t* held, int count) { return HandlePostRequest(held, count); }

void CFileRecver::DispatchFrame(int code, const std::uint8_t* payload, int length) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  conn_.ResetIdle();  // every protocol frame, known or not
  switch (code) {
    case -36: OnRegister(payload, length); break;
    case -58: OnDeviceRecord(payload, length); break;
    case -88: OnListDevices(); break;
    case -46: RelayCommand(payload, length); break;
    case -56: QueryDevice(payload, length); break;
    case -16: OnUploadRequest(payload, length); break;
    case -19: OnUploadData(payload, length); break;
    case -21:
    case -23: OnUploadEnded(code); break;
    case -26: OnDownloadRequest(payload, length); break;
    case -29: OnNextBlock(); break;
    default: break;  // unknown codes are ignored without a reply
  }
}

bool CFileRecver::PostToWindow(platform::TargetId window, std::uint32_t msg) {
  return platform::PostWithRetry(conn_.Loop(), window, msg, 0, reinterpret_cast<std::uintptr_t>(this),
                                 conn_.RecvStopFlag(), conn_.Timings().postRetry);
}

void CFileRecver::OnReceiverMessage(std::uint32_t msg) {
  if (msg == WM_HEARTBEAT) {
    OnHeartbeat();
  } else if (msg >= WM_FILE_REQUEST && msg <= WM_FILE_DOWNLOAD_OPEN) {
    OnTransferMessage(msg);
  }
}

bool CFileRecver::SendPayload(std::string_view payload) {
  std::vector<std::uint8_t> frame(CServerClientSocket::kFrameHeader + payload.size());
  std::copy(payload.begin(), payload.end(), frame.begin() + CServerClientSocket::kFrameHeader);
  return conn_.SendFrame(frame.data(), static_cast<int>(payload.size()));
}

}  // namespace velmo
