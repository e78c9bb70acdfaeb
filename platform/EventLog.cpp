#include "platform/EventLog.h"

#include <algorithm>
#include <deque>
#include <map>

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

struct CEventLog::Core {
  // The buffer and the scheduling.
  std::mutex bufferLock;
  std::vector<std::string> buffer;  // guarded by bufferLock
  std::size_t dropped = 0;          // guarded by bufferLock
  bool drainPending = false;        // guarded by bufferLock
  DrainScheduler scheduler;         // guarded by bufferLock

  // The newest lines as logged, for the management port.
  mutable std::mutex tailLock;
  std::deque<std::string> tail;  // guarded by tailLock; at most kTailLines
  std::map<std::uint64_t, std::function<void(const std::string&)>> taps;  // guarded by tailLock
  std::uint64_t nextTap = 1;                                             // guarded by tailLock

  // The sinks; writes to them are serialised.
  std::mutex sinkLock;
  std::FILE* console = nullptr;  // guarded by sinkLock
  std::FILE* file = nullptr;     // guarded by sinkLock
  std::string filePath;          // guarded by sinkLock
  Listener listener;             // guarded by sinkLock

  void Write(const std::vector<std::string>& lines) {
    std::lock_guard<std::mutex> lock(sinkLock);
    if (console || file) {
      std::string utf8;
      for (const auto& line : lines) utf8 += GbkToUtf8(line);
      for (std::FILE* out : {console, file}) {
        if (!out) continue;
        std::fwrite(utf8.data(), 1, utf8.size(), out);
        std::fflush(out);
      }
    }
    if (listener) listener(lines);
  }

  void Drain() {
    std::vector<std::string> lines;
    std::size_t lost;
    {
      std::lock_guard<std::mutex> lock(bufferLock);
      lines.swap(buffer);
      lost = dropped;
      dropped = 0;
      drainPending = false;
    }
    if (lost > 0) {
      lines.push_back(FormatLogLine(platform::Now(), std::to_string(lost) +
                                                         " log lines were dropped: the log could not keep up"));
    }
    if (!lines.empty()) Write(lines);
  }
};

CEventLog::CEventLog() : core_(std::make_shared<Core>()) {}

CEventLog::~CEventLog() {
  SetDrainScheduler(nullptr);
  std::lock_guard<std::mutex> lock(core_->sinkLock);
  if (core_->file) std::fclose(core_->file);
  core_->file = nullptr;
}

void CEventLog::SetConsole(std::FILE* out) {
  std::lock_guard<std::mutex> lock(core_->sinkLock);
  core_->console = out;
}

bool CEventLog::OpenFile(const std::string& path, std::string* error) {
  std::FILE* f = std::fopen(path.c_str(), "a");
  if (!f) {
    if (error) *error = "cannot open log file '" + path + "': " + std::strerror(errno);
    return false;
  }
  std::lock_guard<std::mutex> lock(core_->sinkLock);
  if (core_->file) std::fclose(core_->file);
  core_->file = f;
  core_->filePath = path;
  return true;
}

bool CEventLog::ReopenFile(std::string* error) {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(core_->sinkLock);
    if (!core_->file) return true;
    path = core_->filePath;
  }
  return OpenFile(path, error);
}

void CEventLog::SetListener(Listener listener) {
  std::lock_guard<std::mutex> lock(core_->sinkLock);
  core_->listener = std::move(listener);
}

void CEventLog::SetDrainScheduler(DrainScheduler scheduler) {
  {
    std::lock_guard<std::mutex> lock(core_->bufferLock);
    core_->scheduler = std::move(scheduler);
  }
  core_->Drain();
}

void CEventLog::Append(std::string_view message) {
  std::string line = FormatLogLine(platform::Now(), message);
  {
    std::lock_guard<std::mutex> lock(core_->tailLock);
    if (core_->tail.size() >= kTailLines) core_->tail.pop_front();
    core_->tail.push_back(line.substr(0, line.size() - 1));  // without its "\n"
    for (auto& [id, tap] : core_->taps) tap(core_->tail.back());
  }
  DrainScheduler schedule;
  {
    std::lock_guard<std::mutex> lock(core_->bufferLock);
    if (core_->scheduler) {
      if (core_->buffer.size() < kMaxBuffered) {
        core_->buffer.push_back(std::move(line));
      } else {
        ++core_->dropped;
      }
      if (core_->drainPending) return;
      core_->drainPending = true;
      schedule = core_->scheduler;
    }
  }
  if (!schedule) {
    core_->Write({line});
    return;
  }
  std::weak_ptr<Core> weak = core_;
  if (!schedule([weak] {
        if (auto core = weak.lock()) core->Drain();
      })) {
    std::lock_guard<std::mutex> lock(core_->bufferLock);
    core_->drainPending = false;  // the next line asks again
  }
}

void CEventLog::Drain() { core_->Drain(); }

std::uint64_t CEventLog::AddTap(std::function<void(const std::string&)> tap) {
  std::lock_guard<std::mutex> lock(core_->tailLock);
  const std::uint64_t id = core_->nextTap++;
  core_->taps.emplace(id, std::move(tap));
  return id;
}

void CEventLog::RemoveTap(std::uint64_t id) {
  std::lock_guard<std::mutex> lock(core_->tailLock);
  core_->taps.erase(id);
}

std::vector<std::string> CEventLog::Tail(std::size_t n) const {
  std::lock_guard<std::mutex> lock(core_->tailLock);
  n = std::min(n, core_->tail.size());
  return std::vector<std::string>(core_->tail.end() - static_cast<std::ptrdiff_t>(n), core_->tail.end());
}

}  // namespace velmo
