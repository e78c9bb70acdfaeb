// CEventLog: the operator's event log. Every event is one line
//   "%04d-%02d-%02d %02d:%02d:%02d： " + message + "\n"     (GBK)
// written to the console (UTF-8, headless mode), appended to a log file (UTF-8,
// --log-file) and handed to a listener (the window's log pane).
//
// Thread safety: Append may be called from any thread and never waits for the
// window thread: sinks are written under one lock, so lines never mix and each
// thread's lines keep their order. Configure the sinks before the first Append.
#pragma once

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/Clock.h"

namespace velmo {

// The GBK line for `message` logged at `time`, ending in "\n".
std::string FormatLogLine(const platform::LocalTime& time, std::string_view message);

// The log pane holds at most this many lines: it is emptied before the line
// that finds more of them (an empty pane counts 1 line, every "\n" one more).
inline constexpr int kMaxLogLines = 1000;
inline bool MustClearBeforeAppend(int lineCount) { return lineCount > kMaxLogLines; }

class CEventLog {
 public:
  CEventLog() = default;
  ~CEventLog();
  CEventLog(const CEventLog&) = delete;
  CEventLog& operator=(const CEventLog&) = delete;

  // Lines go to `out` as UTF-8 (nullptr: nowhere).
  void SetConsole(std::FILE* out) { console_ = out; }
  // Appends every line to `path` as UTF-8. Returns false with `error` set when
  // the file cannot be opened.
  bool OpenFile(const std::string& path, std::string* error);
  // Receives every GBK line (without its "\n"'s conversion), on the appending thread.
  // May be changed while other threads log; once it returns, the old listener
  // is no longer called.
  void SetListener(std::function<void(const std::string& gbkLine)> listener);

  // Logs `message` (GBK) with the current local time.
  void Append(std::string_view message);

 private:
  std::mutex mutex_;
  std::FILE* console_ = nullptr;
  std::FILE* file_ = nullptr;
  std::function<void(const std::string&)> listener_;
};

}  // namespace velmo
