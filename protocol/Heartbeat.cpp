// The answer to a heartbeat (I/O thread): queued text as one -37 frame,
// otherwise now and then the clock command (or, for the LED device, its LED
// text, read on a file thread).
#include "protocol/Heartbeat.h"

#include <cstdio>
#include <cstring>
#include <utility>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "protocol/DeviceProtocol.h"
#include "protocol/FileTransfer.h"
#include "protocol/Frame.h"

namespace velmo {

namespace {
constexpr std::size_t kLedTextMax = 261;
constexpr std::size_t kLedFileRead = 10240;
}  // namespace

std::string FormatClockCommand(const platform::LocalTime& t) {
  char text[96];
  int n = std::snprintf(text, sizeof text, "Set time %04d %02d %02d %01d% 02d %02d %02d \n", t.year, t.month, t.day,
                        t.hour, t.minute, t.second, t.weekday);
  return std::string(text, static_cast<std::size_t>(n));
}

std::string FormatLedCommand(std::string_view text) {
  auto nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  if (text.size() > kLedTextMax) text = text.substr(0, kLedTextMax);
  std::string command = "led 12t 0 0 0 ";
  command.append(text);
  command.append(" \n");
  return command;
}

bool ReadLedFile(const std::string& path, std::string* text, std::string* refusal) {
  refusal->clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENXIO) *refusal = "it is a socket, not a regular file";  // a socket cannot be opened
    return false;
  }
  struct stat st {};
  bool ok = fstat(fd, &st) == 0;
  if (ok && !S_ISREG(st.st_mode)) {
    *refusal = S_ISDIR(st.st_mode) ? "it is a directory, not a regular file" : "it is not a regular file";
    ok = false;
  }
  ok = ok && flock(fd, LOCK_EX | LOCK_NB) == 0;
  if (ok) {
    char buffer[kLedFileRead];
    std::size_t got = 0;
    while (got < sizeof buffer) {
      ssize_t n = read(fd, buffer + got, sizeof buffer - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        ok = false;
        break;
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    if (ok) text->assign(buffer, got);
  }
  close(fd);  // releases the lock
  return ok;
}

CFileRecver::Outcome CFileRecver::OnHeartbeat() {
  conn_.SetIdleLimitSeconds(kHeartbeatIdleLimitSeconds);
  // A peer that does not read gets nothing now: its queued text stays queued
  // (its waiters hear "not taken") and its count stands.
  if (conn_.OutputFull()) return Outcome::Keep;

  // Queued text goes out first, whatever the state of the LED file. It counts
  // as taken now, as its frame enters the output.
  if (CDeviceMailbox* mailbox = conn_.PeekMailbox()) {
    std::uint8_t queued[SharedRing::kStorageBytes];
    std::size_t n = mailbox->Request().PopInto(queued, sizeof queued, false);
    if (n > 0) {
      SendFrame(conn_, {"-37", std::string_view(reinterpret_cast<const char*>(queued), n)});
      return Outcome::Keep;  // a reply that cannot be sent is dropped
    }
  }

  if (conn_.SnEquals(kLedDeviceSn)) {
    // The LED text is read on a file thread; the reply follows when it is
    // read. One read at a time: heartbeats that come meanwhile are answered
    // from it, so a flood of heartbeats never queues a flood of reads.
    if (ledWaiting_++ == 0) Transfer().ReadLed([this](bool ok, const std::string& text) { OnLedText(ok, text); });
    return Outcome::Keep;
  }
  if (heartbeatCount_ % 100 == 0) SendFrame(conn_, {"-37", FormatClockCommand(platform::Now())});
  ++heartbeatCount_;
  return Outcome::Keep;
}

void CFileRecver::OnLedText(bool ok, const std::string& text) {
  const std::uint32_t heartbeats = std::exchange(ledWaiting_, 0);
  if (!ok) return;  // LED file unreadable: nothing this time, count unchanged
  for (std::uint32_t i = 0; i < heartbeats; ++i) {
    if (heartbeatCount_ % 100 == 0 && !conn_.OutputFull()) SendFrame(conn_, {"-37", FormatLedCommand(text)});
    ++heartbeatCount_;
  }
}

}  // namespace velmo
