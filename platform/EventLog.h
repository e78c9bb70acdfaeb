// CEventLog: the operator's event log. Every event is one line
//   "%04d-%02d-%02d %02d:%02d:%02d： " + message + "\n"     (GBK)
// written to the console (UTF-8, headless mode), appended to a log file (UTF-8,
// --log-file) and handed to a listener (the window's log pane).
//
// Lines are stamped when they are appended, from any thread, and reach the
// sinks one of two ways:
//   - at once, on the appending thread, while no drain scheduler is set;
//   - in batches, on the draining thread (the window thread), once a drain
//     scheduler is set: Append only buffers the line and asks for one drain.
//     The buffer holds kMaxBuffered lines; lines beyond are dropped and the
//     next drain writes one line that says how many. So a flood of events
//     costs bounded memory and never waits for the window thread.
//
// Thread safety: Append may be called from any thread and never waits for the
// draining thread. Drain runs on the draining thread. Sinks and the listener
// may be changed while other threads log; once SetListener returns, the old
// listener is no longer called.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

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
  static constexpr std::size_t kMaxBuffered = 10000;

  // Receives the GBK lines of one drain (each ending in "\n"), in order.
  using Listener = std::function<void(const std::vector<std::string>& gbkLines)>;
  // Arranges for a drain (see DrainTask) to run on the draining thread; called
  // from any thread. Returns false when it cannot now (the next line asks again).
  using DrainScheduler = std::function<bool(std::function<void()> drain)>;

  CEventLog();
  ~CEventLog();  // drains what is left, closes the file
  CEventLog(const CEventLog&) = delete;
  CEventLog& operator=(const CEventLog&) = delete;

  // Lines go to `out` as UTF-8 (nullptr: nowhere).
  void SetConsole(std::FILE* out);
  // Appends every line to `path` as UTF-8. Returns false with `error` set when
  // the file cannot be opened.
  bool OpenFile(const std::string& path, std::string* error);
  // Opens the file's path again (after it was renamed, say by logrotate):
  // lines from now on go to the file now at that path, created if need be.
  // Returns false with `error` set, and keeps writing to the old file, when
  // it cannot be opened; true with nothing done when there is no log file.
  bool ReopenFile(std::string* error);
  void SetListener(Listener listener);
  // nullptr: lines go to the sinks at once again (what waits is drained first).
  void SetDrainScheduler(DrainScheduler scheduler);

  // Logs `message` (GBK) with the current local time.
  void Append(std::string_view message);
  // The draining thread: hands every waiting line to the sinks.
  void Drain();
  // Any thread: the newest `n` lines (at most kTailLines) as logged, oldest
  // first, GBK, without their "\n"; whatever the sinks did with them.
  std::vector<std::string> Tail(std::size_t n) const;
  static constexpr std::size_t kTailLines = 1000;
  // Any thread: `tap` sees every line as it is logged (GBK, without its
  // "\n"), on the logging thread; it must only queue it. Returns its id;
  // once RemoveTap returns, the tap is no longer called.
  std::uint64_t AddTap(std::function<void(const std::string&)> tap);
  void RemoveTap(std::uint64_t id);

 private:
  struct Core;
  std::shared_ptr<Core> core_;  // drains that are on their way hold it weakly
};

}  // namespace velmo
