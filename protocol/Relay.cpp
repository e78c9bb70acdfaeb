// Relays on the device port: the bare HTTP "POST /SN?<SN>" request, -46
// (command, answered -47) and -56 (query, answered -57). Each runs on the
// requester's receive thread under the requester's protocol lock, reaches the
// target only through its rings (never its lock, never a send lock), and
// traces the exchange to the data callback.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "httpserver/Utf8ToGbk.h"
#include "protocol/DeviceInfoRecord.h"
#include "protocol/FileRecver.h"
#include "socketserver/ClientRegistry.h"
#include "socketserver/DeviceExchange.h"

namespace velmo {

namespace {

constexpr std::size_t kTargetBytes = 27;     // "SN?" (or the code) + 24-byte SN
constexpr std::size_t kRecordMax = 799;      // the HTTP request record: target + body
constexpr std::size_t kConvertedMax = 4095;  // converted texts, without terminator

// Relay status: 0 no such SN, 1 not taken within the wait, 2 taken.
enum RelayStatus { kNoDevice = 0, kNotTaken = 1, kTaken = 2 };

std::string HttpResponse(RelayStatus status) {
  return std::string("HTTP/1.1 200 OK\r\n"
                     "Cache-Control: no-cache\r\n"
                     "Pragma: no-cache\r\n"
                     "Content-Type: application/json; charset=utf-8\r\n"
                     "Expires: -1\r\n"
                     "Server: Microsoft-IIS/10.0\r\n"
                     "X-AspNet-Version: 4.0.30319\r\n"
                     "X-Powered-By: ASP.NET\r\n"
                     "Date: Thu, 07 Jul 2022 12:41:35 GMT\r\n") +
         (status == kNoDevice ? "Content-Length: 28\r\n\r\n{\"device_online_status\":\"0\"}\r\n"
                              : "Content-Length: 28\r\n\r\n{\"device_online_status\":\"1\"}\r\n");
}

const char kPayloadTooLarge[] = "HTTP/1.1 413 Payload Too Large\r\nContent-Length: 0\r\n\r\n";

std::string RelayAnswer(RelayStatus status) {
  return status == kTaken ? "-470000000000" : status == kNotTaken ? "-470000000001" : "-470000000002";
}

// The target SN of a request: the 24 bytes after the 3-byte prefix, as a text
// that ends at the first zero byte or after 24 bytes.
std::string_view TargetSn(const std::uint8_t* bytes, std::size_t length) {
  if (length <= 3) return {};
  std::size_t n = std::min<std::size_t>(24, length - 3);
  const char* sn = reinterpret_cast<const char*>(bytes) + 3;
  return std::string_view(sn, strnlen(sn, n));
}

// Content-Length of an HTTP head, if it has one that reads as a number.
bool ContentLength(std::string_view head, std::size_t* value) {
  std::size_t pos = 0;
  while ((pos = head.find("\r\n", pos)) != std::string_view::npos) {
    pos += 2;
    static constexpr std::string_view kName = "content-length:";
    if (head.size() - pos < kName.size()) return false;
    bool match = true;
    for (std::size_t i = 0; i < kName.size() && match; ++i) {
      match = std::tolower(static_cast<unsigned char>(head[pos + i])) == kName[i];
    }
    if (!match) continue;
    std::size_t at = pos + kName.size();
    while (at < head.size() && (head[at] == ' ' || head[at] == '\t')) ++at;
    std::size_t v = 0;
    bool digits = false;
    while (at < head.size() && std::isdigit(static_cast<unsigned char>(head[at])) && v < 100000000) {
      v = v * 10 + static_cast<std::size_t>(head[at++] - '0');
      digits = true;
    }
    if (!digits) return false;
    *value = v;
    return true;
  }
  return false;
}

// Converts `length` bytes; the result ends at the output's first zero byte
// when the whole output is read as a text. On a failed conversion the output
// holds what was converted before the failing sequence and `convertedLength`
// stays 0.
std::vector<char> Convert(const std::uint8_t* bytes, std::size_t length, int* convertedLength) {
  std::vector<char> out(std::max<std::size_t>(length, 1) + 1, '\0');
  *convertedLength = 0;
  Utf8ToGbk(reinterpret_cast<const char*>(bytes), static_cast<int>(length), out.data(), convertedLength);
  return out;
}

// The text from byte 27 of a converted buffer up to its first zero byte.
std::string_view TextAfterTarget(const std::vector<char>& converted) {
  if (converted.size() <= kTargetBytes) return {};
  const char* text = converted.data() + kTargetBytes;
  return std::string_view(text, strnlen(text, converted.size() - kTargetBytes));
}

}  // namespace

void CFileRecver::Trace(const void* text, std::size_t length) {
  if (auto fn = conn_.Settings().callbacks.onRecvData) {
    fn(conn_.UserData(), static_cast<const char*>(text), static_cast<int>(length));
  }
}

void CFileRecver::SendAndTrace(std::string_view payload) {
  std::vector<std::uint8_t> frame(CServerClientSocket::kFrameHeader + payload.size());
  std::copy(payload.begin(), payload.end(), frame.begin() + CServerClientSocket::kFrameHeader);
  conn_.SendFrame(frame.data(), static_cast<int>(payload.size()));  // a failed answer is not reported further
  Trace(frame.data(), frame.size());
}

int CFileRecver::HandlePostRequest(const std::uint8_t* held, int count) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  conn_.ResetIdle();
  const std::string_view all(reinterpret_cast<const char*>(held), static_cast<std::size_t>(count));
  // Wait for the whole request: its head, then its body by Content-Length (or
  // what came with the head when it has none).
  const std::size_t headEnd = all.find("\r\n\r\n");
  if (headEnd == std::string_view::npos) return 0;
  const std::size_t bodyStart = headEnd + 4;
  const std::size_t maxBody = kRecordMax - kTargetBytes;
  std::size_t bodyLength = all.size() - bodyStart;
  std::size_t announced = 0;
  if (ContentLength(all.substr(0, bodyStart), &announced)) {
    if (announced <= maxBody && bodyLength < announced) return 0;
    bodyLength = std::min(bodyLength, announced);
  } else {
    announced = bodyLength;
  }
  const int used = static_cast<int>(bodyStart + bodyLength);
  if (announced > maxBody) {
    conn_.SendRaw(kPayloadTooLarge, sizeof kPayloadTooLarge - 1);
    Trace(kPayloadTooLarge, sizeof kPayloadTooLarge - 1);
    return used;  // nothing queued
  }

  // The record: the first 27 bytes after "POST /", then the body.
  const std::string_view r = all.substr(std::min<std::size_t>(6, all.size()));
  std::string record(r.substr(0, std::min(kTargetBytes, r.size())));
  record.append(all.substr(bodyStart, bodyLength));
  Trace(record.data(), record.size());

  int convertedLength = 0;
  const auto* recordBytes = reinterpret_cast<const std::uint8_t*>(record.data());
  std::vector<char> converted = Convert(recordBytes, record.size(), &convertedLength);
  char lengths[48];
  int n = std::snprintf(lengths, sizeof lengths, "len1:%d len2:%d", static_cast<int>(record.size()), convertedLength);
  Trace(lengths, static_cast<std::size_t>(n));
  Trace(converted.data(), static_cast<std::size_t>(convertedLength));

  RelayStatus status = kNoDevice;
  if (auto target = CClientRegistry::Process().FindBySn(TargetSn(recordBytes, record.size()))) {
    CServerClientSocket::CWaitScope waiting(conn_);
    bool taken = QueueAndWait(*target, TextAfterTarget(converted), true, conn_.Timings().deviceWait,
                              &conn_.RecvStopFlag());
    status = taken ? kTaken : kNotTaken;
  }
  if (record.compare(0, 3, "SN?") == 0) {
    std::string response = HttpResponse(status);
    conn_.SendRaw(response.data(), response.size());
    Trace(response);
  } else {
    SendAndTrace(RelayAnswer(status));
  }
  return used;
}

void CFileRecver::RelayCommand(const std::uint8_t* payload, int length) {
  const std::size_t size = static_cast<std::size_t>(length);
  Trace(payload, size);
  if (size > kConvertedMax) {
    Trace("relay refused: the text is longer than 4095 bytes");
    SendAndTrace(RelayAnswer(kNotTaken));
    return;
  }
  int convertedLength = 0;
  std::vector<char> converted = Convert(payload, size, &convertedLength);
  char lengths[48];
  int n = std::snprintf(lengths, sizeof lengths, "len1:%d len2:%d", length, convertedLength);
  Trace(lengths, static_cast<std::size_t>(n));
  Trace(converted.data(), static_cast<std::size_t>(convertedLength));

  RelayStatus status = kNoDevice;
  if (auto target = CClientRegistry::Process().FindBySn(TargetSn(payload, size))) {
    CServerClientSocket::CWaitScope waiting(conn_);
    bool taken = QueueAndWait(*target, TextAfterTarget(converted), true, conn_.Timings().deviceWait,
                              &conn_.RecvStopFlag());
    status = taken ? kTaken : kNotTaken;
  }
  SendAndTrace(RelayAnswer(status));
}

void CFileRecver::QueryDevice(const std::uint8_t* payload, int length) {
  const std::size_t size = static_cast<std::size_t>(length);
  auto target = CClientRegistry::Process().FindBySn(TargetSn(payload, size));
  if (!target) {
    SendAndTrace("-570000000002");
    return;
  }
  std::string_view text;
  if (size > kTargetBytes) {
    const char* start = reinterpret_cast<const char*>(payload) + kTargetBytes;
    text = std::string_view(start, strnlen(start, size - kTargetBytes));
  }
  if (text.size() > kConvertedMax) {
    Trace("query refused: the text is longer than 4095 bytes");
    SendAndTrace("-570000000001");
    return;
  }
  QueryAnswer answer;
  {
    CServerClientSocket::CWaitScope waiting(conn_);
    answer = QueryAndWait(*target, text, false, conn_.Timings().deviceWait, &conn_.RecvStopFlag());
  }
  if (!answer.answered) {
    SendAndTrace("-570000000001");
    return;
  }
  SendAndTrace("-570000000000" + FormatQueryJson(DecodeDeviceInfo(answer.record.data(), answer.length)));
}

}  // namespace velmo
