// velmo: the server for networked field devices.
//
// Parses the command line, builds the main dialog's logic on a message loop
// owned by the main thread and runs it until SIGINT/SIGTERM (headless). Exit
// codes: 0 after a clean shutdown, 2 for a bad command line or log file.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/EventLog.h"
#include "app/Options.h"
#include "app/VelmoDlg.h"
#include "platform/MessageLoop.h"
#include "platform/Process.h"

namespace {

velmo::platform::MessageLoop* g_loop = nullptr;  // for the signal handler only

void OnStopSignal(int) {
  if (g_loop) g_loop->QuitFromSignal();
}

void InstallStopSignals() {
  struct sigaction sa {};
  sa.sa_handler = &OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
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
  if (!options.headless && !velmo::platform::DisplayAvailable()) options.headless = true;

  velmo::CEventLog log;
  log.SetConsole(stdout);
  if (!options.logFile.empty() && !log.OpenFile(options.logFile, &error)) {
    std::fprintf(stderr, "velmo: %s\n", error.c_str());
    return 2;
  }

  velmo::platform::MessageLoop loop;
  loop.BindToCurrentThread();
  g_loop = &loop;
  InstallStopSignals();
  {
    velmo::CVelmoDlg dlg(loop, options, log);
    dlg.OnInitDialog();
    loop.Run();
  }  // the dialog's destructor shuts the device server down
  g_loop = nullptr;
  return 0;
}
