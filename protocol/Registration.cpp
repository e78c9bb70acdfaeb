// Device registration and heartbeat (-36), device-information records (-58)
// and the device listing (-88 answered by -89). I/O thread.
#include <cstring>
#include <string>

#include "protocol/FileRecver.h"
#include "socketserver/ClientRegistry.h"
#include "socketserver/FleetCounters.h"

namespace velmo {

CFileRecver::Outcome CFileRecver::OnRegister(const std::uint8_t* payload, int length) {
  // The SN is the rest of the payload; SetSn cuts it to 259 bytes.
  conn_.SetSn(reinterpret_cast<const char*>(payload) + 3, static_cast<std::size_t>(length - 3));
  conn_.MarkHeartbeat();
  CFleetCounters::Process().Heartbeat();
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
  // "-89" + one 25-byte entry per device whose SN begins with "20": "+" and the
  // first 24 bytes of the SN, zero-filled when shorter.
  std::string payload = "-89";
  int listed = 0;
  CClientRegistry::Process().ForEach([&](const CServerClientSocket& c) {
    if (listed >= kMaxListedDevices) return;
    std::string sn = c.GetSn();
    if (sn.compare(0, 2, "20") != 0) return;
    char entry[25] = {'+'};
    std::memcpy(entry + 1, sn.data(), sn.size() < 24 ? sn.size() : 24);
    payload.append(entry, sizeof entry);
    ++listed;
  });
  conn_.SendFrame({payload});  // a listing that cannot be sent is dropped
  return Outcome::Keep;
}

}  // namespace velmo
