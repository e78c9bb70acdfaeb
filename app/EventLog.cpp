#include "app/EventLog.h"

#include <cerrno>
#include <cstring>

#include "platform/TextCodec.h"

namespace velmo {

std::string FormatLogLine(const platform::LocalTime& t, std::string_view message) {
  char stamp[64];
  // "\xA3\xBA" is the full-width colon in GBK.
  int n = std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d\xA3\xBA ", t.year, t.month, t.day, t.hour,
                        t.minute, t.second);
  std::string line(stamp, static_cast<std::size_t>(n));
  line.append(message);
  line.push_back('\n');
  return line;
}

CEventLog::~CEventLog() {
  if (file_) std::fclose(file_);
}

bool CEventLog::OpenFile(const std::string& path, std::string* error) {
  std::FILE* f = std::fopen(path.c_str(), "a");
  if (!f) {
    if (error) *error = "cannot open log file '" + path + "': " + std::strerror(errno);
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_) std::fclose(file_);
  file_ = f;
  return true;
}

void CEventLog::SetListener(std::function<void(const std::string& gbkLine)> listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  listener_ = std::move(listener);
}

void CEventLog::Append(std::string_view message) {
  std::string line = FormatLogLine(platform::Now(), message);
  std::lock_guard<std::mutex> lock(mutex_);
  if (console_ || file_) {
    std::string utf8 = GbkToUtf8(line);
    if (console_) {
      std::fwrite(utf8.data(), 1, utf8.size(), console_);
      std::fflush(console_);
    }
    if (file_) {
      std::fwrite(utf8.data(), 1, utf8.size(), file_);
      std::fflush(file_);
    }
  }
  if (listener_) listener_(line);
}

}  // namespace velmo
