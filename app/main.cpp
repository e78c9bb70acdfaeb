// velmo: the server for networked field devices.
//
// Parses the command line, builds the program (CVelmo) on a message loop
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
#include <memory>
#include <string>

#include "app/Options.h"
#include "app/ServiceNotify.h"
#include "app/Velmo.h"
#include "platform/EventLog.h"
#include "platform/MessageLoop.h"
#include "platform/Process.h"
#include "socketserver/SocketServer.h"

namespace {

// For the signal handler only: a stop that arrives before the loop exists is
// remembered and honoured as soon as it does.
std::atomic<velmo::platform::MessageLoop*> g_loop{nullptr};
volatile std::sig_atomic_t g_stopRequested = 0;

// Flags raised by signals for the loop thread.
constexpr std::uint32_t kReopenLog = 1;

void OnHangUp(int) {
  if (auto* loop = g_loop.load()) loop->RaiseFromSignal(kReopenLog);
}

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
  sa.sa_handler = &OnHangUp;  // what logrotate sends: the log file is opened again
  sigaction(SIGHUP, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

// The window module's entry (see window/qt/WindowMain.cpp).
using RunWindowFn = int (*)(int* argc, char** argv, velmo::platform::MessageLoop* loop, velmo::CVelmo* velmo,
                            velmo::CEventLog* log);

// Loads the window module from the program's directory (a build) or from
// ../lib/velmo next to it (an installation). Returns its entry, or null with
// `error` saying why.
RunWindowFn LoadWindow(std::string* error) {
  const std::string dir = velmo::platform::ExecutableDir();
  std::string path = dir + "libvelmo-window.so";
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    *error = dlerror();
    path = dir + "../lib/velmo/libvelmo-window.so";
    module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  if (!module) return nullptr;  // `error` tells why the first place failed
  auto run = reinterpret_cast<RunWindowFn>(dlsym(module, "VelmoRunWindow"));
  if (!run) *error = path + ": no VelmoRunWindow in it";
  return run;  // the module stays loaded until the process ends
}

// Tells systemd Velmo is ready once the device port and the HTTP API both
// listen, or after five seconds with what does not (Velmo runs on without a
// port it could not open, as designed).
void ReportReadiness(velmo::platform::MessageLoop& loop, velmo::CVelmo& velmo) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  auto timer = std::make_shared<velmo::platform::TimerId>(0);
  auto check = [&loop, &velmo, deadline, timer] {
    const bool devices = velmo.Server() && velmo.Server()->IsListening();
    const bool http = velmo.HttpPort() != 0;
    if (!(devices && http) && std::chrono::steady_clock::now() < deadline) return false;
    std::string status = devices && http ? "serving" : "running";
    if (!devices) status += "; the device port is not listening";
    if (!http) status += "; the HTTP API is not listening";
    velmo::NotifyReady(status);
    return true;
  };
  if (check()) return;
  *timer = loop.SetTimer(std::chrono::milliseconds(50), [&loop, check, timer] {
    if (check()) loop.KillTimer(*timer);
  });
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
    case velmo::ParseResult::Version:
      std::printf("velmo %s\n", VELMO_VERSION);
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
  warning.clear();
  if (!velmo::PrepareCluster(&options, &error, &warning)) {
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
  loop.SetSignalHandler([&log](std::uint32_t flags) {
    std::string why;
    if ((flags & kReopenLog) && !log.ReopenFile(&why)) {
      std::fprintf(stderr, "velmo: %s; the log goes on in the old file\n", why.c_str());
    }
  });
  if (runWindow) {
    BindSignalsTo(&loop);
    {
      velmo::CVelmo program(loop, options, log);
      runWindow(&argc, argv, &loop, &program, &log);  // the window starts and stops the program
    }
    BindSignalsTo(nullptr);
    return 0;
  }
  loop.BindToCurrentThread();
  BindSignalsTo(&loop);
  {
    velmo::CVelmo program(loop, options, log);
    program.Start();
    ReportReadiness(loop, program);
    // Under load (thousands of heartbeats a second) the window thread handles
    // its messages in batches, 2 ms apart, instead of waking for each one.
    loop.Run(std::chrono::milliseconds(2));
    velmo::NotifyStopping();
  }  // the program's destructor shuts the device server down
  BindSignalsTo(nullptr);
  return 0;
}
