// HTTP load for the API: C clients, each on one keep-alive connection, send
// "/api/cmd" to random simulated devices for S seconds and time every request.
//   ./build/bench/http_load PORT CLIENTS SECONDS DEVICES [SN-PREFIX=2023]
// Prints one line: requests, requests/s, p50/p99/max latency, share answered 1.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include "bench/BenchSupport.h"
#include "tools/devsim/DevsimOptions.h"

using namespace std::chrono;


int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s PORT CLIENTS SECONDS DEVICES [SN-PREFIX]\n", argv[0]);
    return 2;
  }
  const auto port = static_cast<std::uint16_t>(std::atoi(argv[1]));
  const int clients = std::atoi(argv[2]);
  const double seconds = std::atof(argv[3]);
  const int devices = std::atoi(argv[4]);
  velmo::devsim::Options sims;
  if (argc > 5) sims.snPrefix = argv[5];

  std::mutex lock;
  std::vector<double> latencies;
  long ones = 0, failures = 0;
  const auto end = steady_clock::now() + duration_cast<steady_clock::duration>(duration<double>(seconds));
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      std::mt19937 rng(static_cast<unsigned>(c) * 7919u + 1);
      std::vector<double> mine;
      long myOnes = 0, myFailures = 0;
      int fd = velmo::bench::ConnectLoopback(port);
      while (fd >= 0 && steady_clock::now() < end) {
        std::string sn = velmo::devsim::DeviceSn(sims, static_cast<int>(rng() % static_cast<unsigned>(devices)));
        auto t0 = steady_clock::now();
        char status = velmo::bench::ApiCmd(fd, sn);
        if (status == '?') {
          ++myFailures;
          close(fd);
          fd = velmo::bench::ConnectLoopback(port);
          continue;
        }
        mine.push_back(duration<double, std::milli>(steady_clock::now() - t0).count());
        if (status == '1') ++myOnes;
      }
      if (fd >= 0) close(fd);
      std::lock_guard<std::mutex> g(lock);
      latencies.insert(latencies.end(), mine.begin(), mine.end());
      ones += myOnes;
      failures += myFailures;
    });
  }
  for (auto& t : threads) t.join();
  std::sort(latencies.begin(), latencies.end());
  auto pct = [&](double p) {
    return latencies.empty() ? 0.0 : latencies[std::min(latencies.size() - 1, static_cast<std::size_t>(p * latencies.size()))];
  };
  std::printf("http_load: %zu requests in %.0f s, %.1f requests/s, p50 %.0f ms, p99 %.0f ms, max %.0f ms, "
              "answered 1: %.1f %%, failed %ld\n",
              latencies.size(), seconds, latencies.size() / seconds, pct(0.5), pct(0.99),
              latencies.empty() ? 0.0 : latencies.back(), latencies.empty() ? 0.0 : 100.0 * ones / latencies.size(),
              failures);
  return 0;
}
