// N simultaneous "/api/cmd" requests to N simulated devices heartbeating every
// 2 s, all in one process over loopback: the device server with the real
// protocol, the HTTP API, and velmo-devsim's simulator. Prints requests/s and
// the p50/p99/max latency from request to reply, and how many answered 1.
//   ./build/bench/api_cmd_bench [N=200] [heartbeat seconds=2]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>


#include "bench/BenchSupport.h"
#include "httpserver/ApiRoutes.h"
#include "httpserver/HttpServer.h"
#include "socketserver/ClientRegistry.h"
#include "tools/devsim/Simulator.h"

using namespace std::chrono;

namespace {

// One request on its own connection; returns the status digit or '?'.
char Request(std::uint16_t port, const std::string& sn) {
  int fd = velmo::bench::ConnectLoopback(port);
  if (fd < 0) return '?';
  char status = velmo::bench::ApiCmd(fd, sn);
  close(fd);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  int n = argc > 1 ? std::atoi(argv[1]) : 200;
  double heartbeat = argc > 2 ? std::atof(argv[2]) : 2.0;

  velmo::bench::CInProcessServer server;

  velmo::ApiContext api;
  api.reach = &server.Reach();
  velmo::HttpServer http(&api);
  http.SetPort("0");
  http.SetDiagnostics(nullptr);
  http.AddRoute("/api/cmd", &velmo::OnApiCmd);
  http.Start();
  while (http.BoundPort() == 0) std::this_thread::sleep_for(10ms);

  velmo::devsim::Options options;
  options.port = server.Port();
  options.devices = n;
  options.heartbeatSeconds = heartbeat;
  options.quiet = true;
  velmo::devsim::CSimulator sim(options, stdout);
  std::atomic<bool> stopSim{false};
  std::thread simThread([&] { sim.Run(stopSim); });
  while (server.Registry().Size() < static_cast<std::size_t>(n) ||
         server.Loop().QueuedCount() > 0) {
    std::this_thread::sleep_for(50ms);
  }
  std::this_thread::sleep_for(milliseconds(static_cast<int>(heartbeat * 1000)));  // every device registered

  std::vector<double> latencyMs(static_cast<std::size_t>(n));
  std::vector<char> status(static_cast<std::size_t>(n));
  std::vector<std::thread> clients;
  auto start = steady_clock::now();
  for (int i = 0; i < n; ++i) {
    clients.emplace_back([&, i] {
      auto t0 = steady_clock::now();
      status[static_cast<std::size_t>(i)] = Request(http.BoundPort(), velmo::devsim::DeviceSn(options, i));
      latencyMs[static_cast<std::size_t>(i)] = duration<double, std::milli>(steady_clock::now() - t0).count();
    });
  }
  for (auto& c : clients) c.join();
  double totalS = duration<double>(steady_clock::now() - start).count();

  stopSim = true;
  simThread.join();
  http.Stop();

  std::sort(latencyMs.begin(), latencyMs.end());
  long ones = std::count(status.begin(), status.end(), '1');
  auto pct = [&](double p) { return latencyMs[std::min(latencyMs.size() - 1, static_cast<std::size_t>(p * latencyMs.size()))]; };
  std::printf("api_cmd_bench: %d simultaneous /api/cmd to %d devices heartbeating every %.1f s\n", n, n, heartbeat);
  std::printf("  all answered in %.3f s: %.1f requests/s\n", totalS, n / totalS);
  std::printf("  latency p50 %.1f ms, p99 %.1f ms, max %.1f ms\n", pct(0.50), pct(0.99), latencyMs.back());
  std::printf("  answered 1: %ld of %d\n", ones, n);
  return ones == n ? 0 : 1;
}
