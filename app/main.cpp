// velmo: the server for networked field devices.
//
// Parses the command line, builds the main dialog's logic on a message loop
// owned by the main thread and runs it: in the operator's window when a
// display is available (until the window is closed), headless otherwise
// (until SIGINT/SIGTERM). The window lives in a module next to the program,
// libvelmo-window.so, loaded only to show it; when it cannot be loaded, velmo
// says why and runs headless. Exit codes: 0 after a clean shutdown, 2 for a
// bad command line or log file.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <string>

#include "app/EventLog.h"
#include "app/Options.h"
#include "app/VelmoDlg.h"
#include "platform/MessageLoop.h"
#include "platform/Process.h"

namespace {

// For the signal handler only: a stop that arrives before the loop exists is
// remembered and honoured as soon as it does.
std::atomic<velmo::platform::MessageLoop*> g_loop{nullptr};
volatile std::sig_atomic_t g_stopRequested = 0;

void OnStopSignal(int) {
  g_stopRequested = 1;
  if (auto* loop = g_loop.load()) loop->QuitFromSignal();
}

void BindSignalsTo(velmo::platform::MessageLoop* loop) {
  g_loop.store(loop);
  if (loop && g_stopRequested) loop->Quit();
}

void InstallStopSignals() {
  struct sigaction sa {};
  sa.sa_handler = &OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

// The window module's entry (see app/qt/WindowMain.cpp).
using RunWindowFn = int (*)(int* argc, char** argv, velmo::platform::MessageLoop* loop, velmo::CVelmoDlg* dlg,
                            velmo::CEventLog* log);

// Loads the window module from the program's directory. Returns its entry,
// or null with `error` saying why.
RunWindowFn LoadWindow(std::string* error) {
  const std::string path = velmo::platform::ExecutableDir() + "libvelmo-window.so";
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    *error = dlerror();
    return nullptr;
  }
  auto run = reinterpret_cast<RunWindowFn>(dlsym(module, "VelmoRunWindow"));
  if (!run) *error = path + ": no VelmoRunWindow in it";
  return run;  // the module stays loaded until the process ends
}

}  // namespace

int main(int argc, char** argv) {
  InstallStopSignals();
  velmo::AppOptions options;
  std::string error;
  switch (velmo::ParseCommandLine(argc, argv, &options, &error)) {
    case velmo::ParseResult::Help:
      std::fputs(velmo::UsageText(argv[0]).c_str(), stdout);
      return 0;
    case velmo::ParseResult::Error:
      std::fprintf(stderr, "velmo: %s\nTry '%s --help' for the options.\n", error.c_str(), argv[0]);
      return 2;
    case velmo::ParseResult::Run:
      break;
  }
  std::string warning;
  if (!velmo::PrepareAdminAccess(&options, &error, &warning)) {
    std::fprintf(stderr, "velmo: %s\n", error.c_str());
    return 2;
  }
  if (!warning.empty()) std::fprintf(stderr, "velmo: warning: %s\n", warning.c_str());
  if (!options.headless && !velmo::platform::DisplayAvailable()) options.headless = true;
  RunWindowFn runWindow = nullptr;
  if (!options.headless) {
    runWindow = LoadWindow(&error);
    if (!runWindow) {
      std::fprintf(stderr, "velmo: the window cannot be shown (%s); running headless\n", error.c_str());
      options.headless = true;
    }
  }

  velmo::CEventLog log;
  if (options.headless) log.SetConsole(stdout);  // with a window, the log lives in its pane
  if (!options.logFile.empty() && !log.OpenFile(options.logFile, &error)) {
    std::fprintf(stderr, "velmo: %s\n", error.c_str());
    return 2;
  }

  velmo::platform::MessageLoop loop;
  if (runWindow) {
    BindSignalsTo(&loop);
    {
      velmo::CVelmoDlg dlg(loop, options, log);
      runWindow(&argc, argv, &loop, &dlg, &log);
    }
    BindSignalsTo(nullptr);
    return 0;
  }
  loop.BindToCurrentThread();
  BindSignalsTo(&loop);
  {
    velmo::CVelmoDlg dlg(loop, options, log);
    dlg.OnInitDialog();
    // Under load (thousands of heartbeats a second) the window thread handles
    // its messages in batches, 2 ms apart, instead of waking for each one.
    loop.Run(std::chrono::milliseconds(2));
  }  // the dialog's destructor shuts the device server down
  BindSignalsTo(nullptr);
  return 0;
}
