// Device registration and heartbeat (-36), device-information records (-58)
// and the device listing (-88 answered by -89). I/O thread.
#include <cstring>
#include <string>

#include "protocol/DeviceProtocol.h"
#include "protocol/Frame.h"
#include "socketserver/DeviceCounters.h"

namespace velmo {

CFileRecver::Outcome CFileRecver::OnRegister(const std::uint8_t* payload, int length) {
  // The SN is the rest of the payload; SetSn cuts it to 259 bytes.
  conn_.SetSn(reinterpret_cast<const char*>(payload) + 3, static_cast<std::size_t>(length - 3));
  conn_.MarkHeartbeat();
  conn_.Env().Counters().Heartbeat();
  return OnHeartbeat();
}

CFileRecver::Outcome CFileRecver::OnDeviceRecord(const std::uint8_t* payload, int length) {
  constexpr int kRecordStart = 27;
  if (length > kRecordStart) {
    conn_.Mailbox().OnRecord(payload + kRecordStart, static_cast<std::size_t>(length - kRecordStart));
  }
  return Outcome::Keep;  // records get no answer
}

CFileRecver::Outcome CFileRecver::OnListDevices() {
  // A peer that does not read gets nothing, and costs nothing: the listing
  // is not even looked at. Otherwise it is the one every asker shares while
  // the fleet stays as it is (see CProtocolShared::Listing).
  if (conn_.OutputFull()) return Outcome::Keep;
  std::shared_ptr<const std::string> listing = shared_->Listing(conn_.Env().Registry());
  SendFrame(conn_, {*listing});  // a listing that cannot be sent is dropped
  return Outcome::Keep;
}

}  // namespace velmo
