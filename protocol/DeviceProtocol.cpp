#include "protocol/DeviceProtocol.h"

#include <chrono>
#include <cstring>

#include "protocol/FileTransfer.h"
#include "socketserver/ClientRegistry.h"

namespace velmo {

bool CProtocolShared::LedNoticeDue() {
  const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count();
  std::int64_t last = lastLedNotice_.load();
  while (last < 0 || now - last >= 60) {
    if (lastLedNotice_.compare_exchange_weak(last, now)) return true;
  }
  return false;
}

std::shared_ptr<const std::string> CProtocolShared::Listing(const CClientRegistry& registry) {
  std::lock_guard<std::mutex> lock(listingLock_);
  if (listing_ && listingVersion_ == registry.Version()) return listing_;
  // "-89" + one 25-byte entry per device whose SN begins with "20": "+" and
  // the first 24 bytes of the SN, zero-filled when shorter; at most
  // kMaxListedDevices of them, in the registry's order.
  auto payload = std::make_shared<std::string>("-89");
  int listed = 0;
  listingVersion_ = registry.VisitSns([&](std::string_view sn) {
    if (sn.compare(0, 2, "20") != 0) return true;
    char entry[25] = {'+'};
    std::memcpy(entry + 1, sn.data(), sn.size() < 24 ? sn.size() : 24);
    payload->append(entry, sizeof entry);
    return ++listed < CFileRecver::kMaxListedDevices;
  });
  listing_ = std::move(payload);
  return listing_;
}

ProtocolFactory MakeProtocolFactory(ProtocolSettings settings) {
  auto shared = std::make_shared<CProtocolShared>(std::move(settings));
  return [shared](CServerClientSocket& connection) { return std::make_unique<CFileRecver>(connection, shared); };
}

CFileRecver::CFileRecver(CServerClientSocket& connection, std::shared_ptr<CProtocolShared> shared)
    : conn_(connection), shared_(std::move(shared)) {}

CFileRecver::~CFileRecver() = default;

bool CFileRecver::Setup() { return true; }

void CFileRecver::OnReceived(const std::uint8_t* data, int length) {
  // A handler that waits has paused reading itself, and the rest of its
  // receive is kept until it has answered; bytes that come anyway wait behind.
  if (relay_ != 0) return assembler_.Keep(data, length);
  assembler_.AssembleFrames(data, length, *this);
}

bool CFileRecver::Stopping() const { return conn_.Closing(); }

bool CFileRecver::OnFrame(int code, const std::uint8_t* payload, int length) {
  if (code < 0) return DispatchFrame(code, payload, length) == Outcome::Wait;
  if (auto fn = conn_.Settings().callbacks.onRecvData) {
    fn(conn_.UserData(), reinterpret_cast<const char*>(payload), length);
  }
  return false;
}

CFrameAssembler::PostVerdict CFileRecver::OnPost(const std::uint8_t* held, int count) {
  return HandlePostRequest(held, count);
}

CFileRecver::Outcome CFileRecver::DispatchFrame(int code, const std::uint8_t* payload, int length) {
  conn_.AssertIoThread("CFileRecver::DispatchFrame");
  conn_.ResetIdle();  // every protocol frame, known or not
  switch (code) {
    case -36: return OnRegister(payload, length);
    case -58: return OnDeviceRecord(payload, length);
    case -88: return OnListDevices();
    case -46: return RelayCommand(payload, length);
    case -56: return QueryDevice(payload, length);
    case -16:
    case -19:
    case -21:
    case -23:
    case -26:
    case -29: return SubmitTransfer(code, payload, length);
    default: return Outcome::Keep;  // unknown codes are ignored without a reply
  }
}

void CFileRecver::Trace(const CServerClientSocket& conn, const void* text, std::size_t length) {
  if (auto fn = conn.Settings().callbacks.onRecvData) {
    fn(conn.UserData(), static_cast<const char*>(text), static_cast<int>(length));
  }
}

bool CFileRecver::Busy() const { return relay_ != 0 || (transfer_ && transfer_->Busy()); }

CFileTransfer& CFileRecver::Transfer() {
  if (!transfer_) transfer_ = std::make_shared<CFileTransfer>(conn_, shared_);
  return *transfer_;
}

CFileRecver::Outcome CFileRecver::SubmitTransfer(int code, const std::uint8_t* payload, int length) {
  Transfer().Submit(code, payload, length);
  return Outcome::Keep;
}

void CFileRecver::CancelTransfer() {
  if (transfer_) transfer_->Cancel();
}

void CFileRecver::Shutdown(std::function<void()> done) {
  conn_.AssertIoThread("CFileRecver::Shutdown");
  relay_ = 0;  // its answer, should it come, finds the connection closing
  if (transfer_) return transfer_->Shutdown(std::move(done));
  done();
}

}  // namespace velmo
