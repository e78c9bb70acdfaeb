// velmo-devsim: plays devices against a Velmo server. See --help.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <sys/resource.h>

#include "tools/devsim/DevsimOptions.h"
#include "tools/devsim/Requester.h"
#include "tools/devsim/Simulator.h"
#include "tools/devsim/Transfer.h"

namespace {
std::atomic<bool> g_stop{false};
void OnSignal(int) { g_stop.store(true); }
}  // namespace

int main(int argc, char** argv) {
  velmo::devsim::Options options;
  std::string error;
  switch (velmo::devsim::ParseOptions(argc, argv, &options, &error)) {
    case velmo::devsim::Parse::Help:
      std::fputs(velmo::devsim::Usage(argv[0]).c_str(), stdout);
      return 0;
    case velmo::devsim::Parse::Version:
      std::printf("velmo-devsim %s\n", VELMO_VERSION);
      return 0;
    case velmo::devsim::Parse::Error:
      std::fprintf(stderr, "velmo-devsim: %s\nTry '%s --help' for the options.\n", error.c_str(), argv[0]);
      return 2;
    case velmo::devsim::Parse::Run:
      break;
  }
  using Request = velmo::devsim::Options::Request;
  if (options.request == Request::Upload) return velmo::devsim::RunUpload(options, stdout);
  if (options.request == Request::Download) return velmo::devsim::RunDownload(options, stdout);
  if (options.request != Request::None) return velmo::devsim::RunRequest(options, stdout);
  // Many devices need many descriptors: take what the hard limit allows.
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
  std::signal(SIGINT, &OnSignal);
  std::signal(SIGTERM, &OnSignal);
  std::signal(SIGPIPE, SIG_IGN);

  velmo::devsim::CSimulator sim(options, stdout);
  if (!sim.Run(g_stop)) return 1;
  sim.Finish();
  std::printf("%s\n", sim.Summary().c_str());
  return sim.GetStats().connected > 0 ? 0 : 1;
}
