// Relays on the device port: the bare HTTP "POST /SN?<SN>" request, -46
// (command, answered -47) and -56 (query, answered -57), on one path. Each
// parses and traces its request and hands it to the device reach (which
// finds the target here or on another node, bounds the wait and decides);
// the requester's reading pauses and its later frames are held until the
// answer has gone out. The exchange is traced to the data callback.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Utf8ToGbk.h"
#include "protocol/DeviceInfoRecord.h"
#include "protocol/DeviceProtocol.h"
#include "protocol/Frame.h"
#include "socketserver/DeviceCounters.h"
#include "socketserver/IoWorker.h"

namespace velmo {

namespace {

constexpr std::size_t kTargetBytes = 27;  // "SN?" (or the code) + 24-byte SN
constexpr std::size_t kRecordMax = 799;   // the HTTP request record: target + body

// Relay status: 0 no such SN, 1 not taken (or not answered) within the wait, 2 done.
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
std::string TextAfterTarget(const std::vector<char>& converted) {
  if (converted.size() <= kTargetBytes) return {};
  const char* text = converted.data() + kTargetBytes;
  return std::string(text, strnlen(text, converted.size() - kTargetBytes));
}

// Traces "len1:%d len2:%d" and the converted bytes.
void TraceConversion(CFileRecver& p, std::size_t length, const std::vector<char>& converted, int convertedLength) {
  char lengths[48];
  int n = std::snprintf(lengths, sizeof lengths, "len1:%d len2:%d", static_cast<int>(length), convertedLength);
  p.Trace(std::string_view(lengths, static_cast<std::size_t>(n)));
  p.Trace(std::string_view(converted.data(), static_cast<std::size_t>(convertedLength)));
}

}  // namespace

void CFileRecver::SendAndTrace(std::string_view payload) {
  SendFrame(conn_, {payload});  // a failed answer is not reported further
  Trace(MakeFrame(payload));
}

CFrameAssembler::PostVerdict CFileRecver::HandlePostRequest(const std::uint8_t* held, int count) {
  conn_.ResetIdle();
  const std::string_view all(reinterpret_cast<const char*>(held), static_cast<std::size_t>(count));
  // Wait for the whole request: its head, then its body by Content-Length (or
  // what came with the head when it has none).
  const std::size_t headEnd = all.find("\r\n\r\n");
  if (headEnd == std::string_view::npos) return {};
  const std::size_t bodyStart = headEnd + 4;
  const std::size_t maxBody = kRecordMax - kTargetBytes;
  std::size_t bodyLength = all.size() - bodyStart;
  std::size_t announced = 0;
  if (ContentLength(all.substr(0, bodyStart), &announced)) {
    if (announced <= maxBody && bodyLength < announced) return {};
    bodyLength = std::min(bodyLength, announced);
  } else {
    announced = bodyLength;
  }
  CFrameAssembler::PostVerdict verdict;
  verdict.consumed = static_cast<int>(bodyStart + bodyLength);
  if (announced > maxBody) {
    conn_.SendRaw(std::string_view(kPayloadTooLarge, sizeof kPayloadTooLarge - 1));
    Trace(std::string_view(kPayloadTooLarge, sizeof kPayloadTooLarge - 1));
    return verdict;  // nothing queued
  }

  conn_.Env().Counters().Relay(RelayKind::Post);
  // The record: the first 27 bytes after "POST /", then the body.
  const std::string_view r = all.substr(std::min<std::size_t>(6, all.size()));
  std::string record(r.substr(0, std::min(kTargetBytes, r.size())));
  record.append(all.substr(bodyStart, bodyLength));
  Trace(record);

  int convertedLength = 0;
  const auto* recordBytes = reinterpret_cast<const std::uint8_t*>(record.data());
  std::vector<char> converted = Convert(recordBytes, record.size(), &convertedLength);
  TraceConversion(*this, record.size(), converted, convertedLength);

  const AnswerForm form = record.compare(0, 3, "SN?") == 0 ? AnswerForm::HttpResponse : AnswerForm::CommandFrame;
  verdict.suspend =
      StartRelay(form, std::string(TargetSn(recordBytes, record.size())), TextAfterTarget(converted)) == Outcome::Wait;
  return verdict;
}

CFileRecver::Outcome CFileRecver::RelayCommand(const std::uint8_t* payload, int length) {
  conn_.Env().Counters().Relay(RelayKind::Command);
  const std::size_t size = static_cast<std::size_t>(length);
  Trace(conn_, payload, size);
  if (size > kMaxRelayText) {
    Trace("relay refused: the text is longer than 4095 bytes");
    Answer(AnswerForm::CommandFrame, RelayResult{kNotTaken, {}});
    return Outcome::Keep;
  }
  int convertedLength = 0;
  std::vector<char> converted = Convert(payload, size, &convertedLength);
  TraceConversion(*this, size, converted, convertedLength);
  return StartRelay(AnswerForm::CommandFrame, std::string(TargetSn(payload, size)), TextAfterTarget(converted));
}

CFileRecver::Outcome CFileRecver::QueryDevice(const std::uint8_t* payload, int length) {
  conn_.Env().Counters().Relay(RelayKind::Query);
  const std::size_t size = static_cast<std::size_t>(length);
  std::string text;
  if (size > kTargetBytes) {
    const char* start = reinterpret_cast<const char*>(payload) + kTargetBytes;
    text.assign(start, strnlen(start, size - kTargetBytes));  // unconverted, up to a zero byte
  }
  return StartRelay(AnswerForm::QueryFrame, std::string(TargetSn(payload, size)), std::move(text));
}

CFileRecver::Outcome CFileRecver::StartRelay(AnswerForm form, const std::string& sn, std::string text) {
  CDeviceReach* reach = shared_->Reach();
  if (!reach) {
    Answer(form, RelayResult{kNoDevice, {}});
    return Outcome::Keep;
  }
  const std::uint64_t id = relay_ = nextRelay_++;
  relayForm_ = form;
  conn_.PauseReading(CServerClientSocket::kPauseWait);
  // The decision comes back to this I/O thread and looks the requester up
  // again: it may have gone meanwhile.
  auto finish = [weak = conn_.weak_from_this(), id](const RelayResult& result) {
    auto conn = weak.lock();
    if (!conn || conn->Closing()) return;
    static_cast<CFileRecver&>(conn->Protocol()).FinishRelay(id, result);
  };
  ReachRequest request;
  request.sn = sn;
  request.text = std::move(text);
  request.source = CommandSource::Relay;
  const platform::ThreadHome home = conn_.Worker().Thread().Home();
  if (form == AnswerForm::QueryFrame) {
    request.lineFeed = false;
    reach->Query(home, std::move(request), [finish](const QueryOutcome& outcome) {
      switch (outcome.status) {
        case QueryOutcome::Answered: return finish(RelayResult{kTaken, outcome.answer});
        case QueryOutcome::Unanswered: return finish(RelayResult{kNotTaken, {}});
        // Refused for a device of this node; a node that holds it refuses it the same way.
        case QueryOutcome::Refused: return finish(RelayResult{kNotTaken, {}, true});
        case QueryOutcome::Offline: return finish(RelayResult{kNoDevice, {}});
      }
    });
  } else {
    reach->Command(home, std::move(request), [finish](CommandOutcome outcome) {
      finish(RelayResult{outcome == CommandOutcome::Taken     ? kTaken
                         : outcome == CommandOutcome::Offline ? kNoDevice
                                                              : kNotTaken,
                         {}});
    });
  }
  return Outcome::Wait;
}

void CFileRecver::FinishRelay(std::uint64_t id, const RelayResult& result) {
  if (relay_ == 0 || relay_ != id) return;
  const AnswerForm form = relayForm_;
  relay_ = 0;
  conn_.ResetIdle();
  if (result.refused) Trace("query refused: the text is longer than 4095 bytes");
  Answer(form, result);
  // The frames that came behind the request, in order; then reading goes on
  // (unless one of them waits in its turn).
  if (!assembler_.Continue(*this) && !conn_.Closing()) conn_.ResumeReading(CServerClientSocket::kPauseWait);
}

void CFileRecver::Answer(AnswerForm form, const RelayResult& result) {
  switch (form) {
    case AnswerForm::HttpResponse: {
      std::string response = HttpResponse(static_cast<RelayStatus>(result.status));
      conn_.SendRaw(response);  // a failed answer is not reported further
      Trace(response);
      return;
    }
    case AnswerForm::CommandFrame:
      SendAndTrace(result.status == kTaken      ? "-470000000000"
                   : result.status == kNotTaken ? "-470000000001"
                                                : "-470000000002");
      return;
    case AnswerForm::QueryFrame:
      if (result.status == kNoDevice) return SendAndTrace("-570000000002");
      if (result.status != kTaken) return SendAndTrace("-570000000001");
      SendAndTrace("-570000000000" +
                   FormatQueryJson(DecodeDeviceInfo(result.answer.record.data(), result.answer.length)));
      return;
  }
}

}  // namespace velmo
