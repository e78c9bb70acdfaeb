// The entry of libvelmo-window.so: velmo loads the module and calls it to run
// the operator's window over the dialog's logic it has built. Returns when the
// window is closed (or on SIGINT/SIGTERM, through the message loop), after
// the device server has stopped while the window still stood.
#include <QApplication>

#include "platform/EventLog.h"
#include "window/VelmoDlg.h"
#include "window/qt/QtLoopBridge.h"
#include "window/qt/VelmoWindow.h"
#include "platform/MessageLoop.h"

extern "C" __attribute__((visibility("default"))) int VelmoRunWindow(int* argc, char** argv,
                                                                     velmo::platform::MessageLoop* loop,
                                                                     velmo::CVelmoDlg* dlg, velmo::CEventLog* log) {
  QApplication app(*argc, argv);
  velmo::CQtLoopBridge bridge(*loop);  // the GUI thread runs the message loop from here on
  velmo::CVelmoWindow window(*dlg, *log);
  window.show();
  dlg->OnInitDialog();
  app.exec();
  dlg->Shutdown();
  return 0;
}
