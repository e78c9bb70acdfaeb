#include "window/qt/QtLoopBridge.h"

#include <QCoreApplication>

namespace velmo {

CQtLoopBridge::CQtLoopBridge(platform::MessageLoop& loop, QObject* parent)
    : QObject(parent), loop_(loop), notifier_(loop.WakeFd(), QSocketNotifier::Read) {
  loop_.BindToCurrentThread();
  timer_.setSingleShot(true);
  connect(&notifier_, &QSocketNotifier::activated, this, &CQtLoopBridge::Pump);
  connect(&timer_, &QTimer::timeout, this, &CQtLoopBridge::Pump);
  QTimer::singleShot(0, this, &CQtLoopBridge::Pump);
}

void CQtLoopBridge::Pump() {
  int nextTimerMs = loop_.ProcessPending();
  if (loop_.QuitRequested()) {
    QCoreApplication::quit();
    return;
  }
  if (nextTimerMs >= 0) timer_.start(nextTimerMs);
}

}  // namespace velmo
