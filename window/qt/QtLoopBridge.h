// CQtLoopBridge: runs Velmo's message loop inside the Qt event loop on the GUI
// thread (which is then the window thread): queued messages are processed as
// soon as the loop's wake descriptor becomes readable, timers when they are
// due, and a quit request (SIGINT/SIGTERM) quits the application.
// Thread safety: GUI thread only.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include "platform/MessageLoop.h"

namespace velmo {

class CQtLoopBridge : public QObject {
  Q_OBJECT
 public:
  explicit CQtLoopBridge(platform::MessageLoop& loop, QObject* parent = nullptr);

 private:
  void Pump();

  platform::MessageLoop& loop_;
  QSocketNotifier notifier_;
  QTimer timer_;
};

}  // namespace velmo
