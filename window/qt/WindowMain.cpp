// The entry of libvelmo-window.so: velmo loads the module and calls it to run
// the operator's window over the program it has built. Returns when the
// window is closed (or on SIGINT/SIGTERM, through the message loop), after
// the program has stopped while the window still stood.
#include <QApplication>

#include "app/Velmo.h"
#include "platform/EventLog.h"
#include "platform/MessageLoop.h"
#include "window/VelmoDlg.h"
#include "window/qt/QtLoopBridge.h"
#include "window/qt/VelmoWindow.h"

extern "C" __attribute__((visibility("default"))) int VelmoRunWindow(int* argc, char** argv,
                                                                     velmo::platform::MessageLoop* loop,
                                                                     velmo::CVelmo* velmo, velmo::CEventLog* log) {
  QApplication app(*argc, argv);
  velmo::CQtLoopBridge bridge(*loop);  // the GUI thread runs the message loop from here on
  velmo::CVelmoDlg dlg(*velmo);
  velmo::CVelmoWindow window(dlg, *log);
  window.show();
  dlg.OnInitDialog();
  app.exec();
  dlg.Shutdown();
  return 0;
}
