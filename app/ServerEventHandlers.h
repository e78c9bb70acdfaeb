// CServerEventHandlers: the device server's nine event handlers and its
// notices, each turned into its line of the event log; and the two text
// lines a window shows beside the log (the hidden info line: the last
// handler line; the last-data line: the newest data from a device).
//
// Thread safety: the handlers OnRecvData and OnNotice may run on any thread,
// the others run on the window thread (checked); none waits for the window
// thread.
// What they hand to a window is bounded: log lines go through the event
// log's buffer, and each text line keeps only its newest text with at most
// one update on its way to the view. The text listener may be set from any
// thread: once the setter returns, the old listener is no longer called.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/MessageLoop.h"
#include "socketserver/ServerTypes.h"

namespace velmo {

class CEventLog;

class CServerEventHandlers {
 public:
  // `log` and `window` (the window thread's loop, for the checks) outlive this.
  CServerEventHandlers(CEventLog& log, const platform::MessageLoop& window) : log_(log), window_(window) {}
  CServerEventHandlers(const CServerEventHandlers&) = delete;
  CServerEventHandlers& operator=(const CServerEventHandlers&) = delete;

  // The handlers, registered with the device server; `user` is this object.
  static void OnAccept(void* user, const AcceptInfo* info, int* accept);
  static void OnAcceptErr(void* user, Socket listenSocket);
  static void OnSocketConnect(void* user, Socket socket);
  static void OnSocketDisconnect(void* user, Socket socket, int reason);
  static void OnRecvData(void* user, const char* data, int length);
  static void OnRecvFileRequest(void* user, const char* path, int* accept);
  static void OnRecvFileProgress(void* user, int done, int total);
  static void OnRecvFileSucc(void* user, const char* path);
  static void OnRecvFileFail(void* user, const char* path, int reason);
  // Why a connection or a file was refused.
  static void OnNotice(void* user, const char* text);

  // Sets the info line and logs it (any thread).
  void Report(const std::string& line);
  const platform::MessageLoop& Window() const { return window_; }

  // Called (on the thread that changed it) when the info line or the
  // last-data line has a new text and no update of that line is on its way:
  // the listener arranges one update, which takes the newest text with
  // TakeText. It must not wait for the window thread.
  enum class TextLine { Info, LastData };
  void SetTextListener(std::function<void(TextLine)> listener);
  // The newest text of `line` (GBK); the next change calls the listener again.
  std::string TakeText(TextLine line);
  std::string InfoText() const;
  std::string LastData() const;

 private:
  // Stores `text` as the newest of `line` and tells the listener when no
  // update of it is on its way.
  void SetText(TextLine line, const std::string& text);

  CEventLog& log_;
  const platform::MessageLoop& window_;
  std::mutex listenerLock_;
  std::function<void(TextLine)> textListener_;  // guarded by listenerLock_
  mutable std::mutex textLock_;
  std::string infoText_;          // guarded by textLock_
  std::string lastData_;          // guarded by textLock_
  bool infoQueued_ = false;       // guarded by textLock_: an update of the info line is on its way
  bool lastDataQueued_ = false;   // guarded by textLock_
};

}  // namespace velmo
