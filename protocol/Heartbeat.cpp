// The answer to a heartbeat (window thread, message 2036): queued text as one
// -37 frame, otherwise now and then the clock command (or, for the LED device,
// its LED text).
#include "protocol/Heartbeat.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "protocol/FileRecver.h"

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

bool ReadLedFile(const std::string& path, std::string* text) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0;
  if (ok) {
    char buffer[kLedFileRead];
    std::size_t got = 0;
    while (got < sizeof buffer) {
      ssize_t n = read(fd, buffer + got, sizeof buffer - got);
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

bool CFileRecver::BuildCommand(std::string* command) {
  if (conn_.SnEquals(kLedDeviceSn)) {
    std::string text;
    if (!ReadLedFile(settings_->ledFilePath, &text)) return false;
    *command = FormatLedCommand(text);
    return true;
  }
  *command = FormatClockCommand(platform::Now());
  return true;
}

void CFileRecver::OnHeartbeat() {
  conn_.SetIdleLimitSeconds(kHeartbeatIdleLimitSeconds);

  // Queued text goes out first, whatever the state of the LED file.
  std::uint8_t frame[CServerClientSocket::kFrameHeader + 3 + SharedRing::kStorageBytes];
  std::memcpy(frame + CServerClientSocket::kFrameHeader, "-37", 3);
  std::size_t queued = conn_.RequestRing().PopInto(frame + CServerClientSocket::kFrameHeader + 3,
                                                   SharedRing::kStorageBytes, false);
  if (queued > 0) {
    conn_.SendFrame(frame, static_cast<int>(3 + queued));  // a reply that cannot be sent is dropped
    return;
  }

  const bool ledDevice = conn_.SnEquals(kLedDeviceSn);
  if (!ledDevice && heartbeatCount_ % 100 != 0) {
    ++heartbeatCount_;
    return;
  }
  std::string command;
  if (!BuildCommand(&command)) return;  // LED file unreadable: nothing this time, count unchanged
  if (heartbeatCount_ % 100 == 0) SendPayload("-37" + command);
  ++heartbeatCount_;
}

}  // namespace velmo
