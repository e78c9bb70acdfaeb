// Load on the management port next to a busy fleet, for a running velmo with
// steady devices (run by velmo-devsim). Two phases of S seconds each, under
// the same device churn throughout (connect, register, leave; CHURN-RATE
// cycles a second):
//   1. no event subscribers;
//   2. SUBSCRIBERS clients following /v1/events.
// In each phase it times, on keep-alive connections, GET /v1/devices?limit=100
// and GET /metrics (20 a second each), /api/cmd to random steady devices (10
// clients) and /api/cmd to an SN that is not connected (20 a second: the API's
// own path, without the device's heartbeat wait), and reads velmo's CPU.
//   ./build/bench/admin_load PID DEVICE-PORT HTTP-PORT ADMIN-PORT SECONDS DEVICES [SUBSCRIBERS=50] [CHURN-RATE=500]
// Prints a Markdown table, one row per phase.
#include <sys/socket.h>
#include <unistd.h>

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

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "bench/BenchSupport.h"
#include "bench/Churn.h"
#include "tools/devsim/DevsimOptions.h"
#include "tools/procstat/ProcStat.h"

using namespace std::chrono;
namespace beast = boost::beast;
namespace http = beast::http;

namespace {

struct Latencies {
  std::mutex lock;
  std::vector<double> ms;
  long failures = 0;
  void Add(double v) {
    std::lock_guard<std::mutex> g(lock);
    ms.push_back(v);
  }
  void Fail() {
    std::lock_guard<std::mutex> g(lock);
    ++failures;
  }
  // "p50 / p99 ms" over what was added.
  std::string Text() {
    std::lock_guard<std::mutex> g(lock);
    if (ms.empty()) return "none";
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<std::size_t>(q * ms.size()))]; };
    char text[96];
    std::snprintf(text, sizeof text, "%.1f / %.1f ms%s", at(0.5), at(0.99), failures ? " (failures!)" : "");
    return text;
  }
};

struct ChurnCounters {
  std::atomic<long> cycles{0}, cycleFailures{0};
};

// GET `target` on the management port every `gap` until `stop`, one keep-alive
// connection, timing each whole answer.
void Poll(std::uint16_t port, const std::string& target, milliseconds gap, const std::atomic<bool>& stop,
          Latencies& out) {
  boost::asio::io_context io;
  beast::tcp_stream stream(io);
  beast::error_code ec;
  stream.connect({boost::asio::ip::make_address("127.0.0.1"), port}, ec);
  if (ec) return out.Fail();
  beast::flat_buffer buffer;
  auto next = steady_clock::now();
  while (!stop.load()) {
    std::this_thread::sleep_until(next);
    next += gap;
    http::request<http::empty_body> req(http::verb::get, target, 11);
    req.set(http::field::host, "127.0.0.1");
    const auto t0 = steady_clock::now();
    http::response_parser<http::string_body> res;
    res.body_limit(64 << 20);
    http::write(stream, req, ec);
    if (!ec) http::read(stream, buffer, res, ec);
    if (ec || res.get().result_int() != 200) return out.Fail();
    out.Add(duration<double, std::milli>(steady_clock::now() - t0).count());
  }
}

// Follows /v1/events until `stop`; counts the device events it read.
void Subscribe(std::uint16_t port, const std::atomic<bool>& stop, std::atomic<long>& deviceEvents,
               std::atomic<long>& failures) {
  int fd = velmo::bench::ConnectLoopback(port);
  const std::string request = "GET /v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  if (fd < 0 || send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
    ++failures;
    if (fd >= 0) close(fd);
    return;
  }
  std::string carry;
  char buf[1 << 14];
  while (!stop.load()) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      ++failures;
      break;
    }
    carry.append(buf, static_cast<std::size_t>(n));
    std::size_t at = 0;
    while ((at = carry.find("event: device\n", at)) != std::string::npos) {
      ++deviceEvents;
      at += 14;
    }
    const std::size_t keep = std::min<std::size_t>(carry.size(), 13);
    carry.erase(0, carry.size() - keep);
  }
  close(fd);
}

// /api/cmd for random steady devices (or for `fixedSn`) every `gap` until `stop`.
void ApiLoad(std::uint16_t port, int devices, const std::string& fixedSn, milliseconds gap, unsigned seed,
             const std::atomic<bool>& stop, Latencies& out) {
  std::mt19937 rng(seed);
  velmo::devsim::Options sims;
  int fd = velmo::bench::ConnectLoopback(port);
  auto next = steady_clock::now();
  while (fd >= 0 && !stop.load()) {
    std::this_thread::sleep_until(next);
    next += gap;
    const std::string sn =
        fixedSn.empty() ? velmo::devsim::DeviceSn(sims, static_cast<int>(rng() % static_cast<unsigned>(devices)))
                        : fixedSn;
    const auto t0 = steady_clock::now();
    if (velmo::bench::ApiCmd(fd, sn) == '?') {
      out.Fail();
      break;
    }
    out.Add(duration<double, std::milli>(steady_clock::now() - t0).count());
  }
  if (fd >= 0) close(fd);
}

double CpuSeconds(int pid) { return velmo::procstat::ReadStat(std::to_string(pid)).cpuSeconds; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) {
    std::fprintf(stderr,
                 "usage: %s PID DEVICE-PORT HTTP-PORT ADMIN-PORT SECONDS DEVICES [SUBSCRIBERS=50] [CHURN-RATE=500]\n",
                 argv[0]);
    return 2;
  }
  const int pid = std::atoi(argv[1]);
  const auto devicePort = static_cast<std::uint16_t>(std::atoi(argv[2]));
  const auto httpPort = static_cast<std::uint16_t>(std::atoi(argv[3]));
  const auto adminPort = static_cast<std::uint16_t>(std::atoi(argv[4]));
  const double seconds = std::atof(argv[5]);
  const int devices = std::atoi(argv[6]);
  const int subscribers = argc > 7 ? std::atoi(argv[7]) : 50;
  const double churnRate = argc > 8 ? std::atof(argv[8]) : 500;

  std::atomic<bool> churnStop{false};
  ChurnCounters churn;
  std::vector<std::thread> churners;
  constexpr int kChurnClients = 20;
  const auto gap = duration_cast<steady_clock::duration>(duration<double>(kChurnClients / churnRate));
  for (int i = 0; i < kChurnClients; ++i) {
    churners.emplace_back([&, i] { velmo::bench::Churn(i, devicePort, gap, churnStop, churn); });
  }
  std::this_thread::sleep_for(2s);  // the churn settles first

  std::printf("| phase | /v1/devices?limit=100 p50 / p99 | /metrics p50 / p99 | /api/cmd online p50 / p99 "
              "| /api/cmd offline SN p50 / p99 | velmo CPU | churn cycles/s (failed) | device events per subscriber |\n"
              "|---|---|---|---|---|---|---|---|\n");
  for (int phase = 0; phase < 2; ++phase) {
    const int subs = phase == 0 ? 0 : subscribers;
    std::atomic<bool> stop{false}, subStop{false};
    std::atomic<long> events{0}, subFailures{0};
    std::vector<std::thread> subThreads;
    for (int i = 0; i < subs; ++i) subThreads.emplace_back([&] { Subscribe(adminPort, subStop, events, subFailures); });
    if (subs) std::this_thread::sleep_for(1s);  // attached before the measurement starts
    Latencies list, metrics, online, offline;
    const long cycles0 = churn.cycles.load(), failed0 = churn.cycleFailures.load();
    const double cpu0 = CpuSeconds(pid);
    const auto t0 = steady_clock::now();
    std::vector<std::thread> load;
    load.emplace_back([&] { Poll(adminPort, "/v1/devices?limit=100", 50ms, stop, list); });
    load.emplace_back([&] { Poll(adminPort, "/metrics", 50ms, stop, metrics); });
    for (int c = 0; c < 10; ++c) {
      load.emplace_back([&, c] { ApiLoad(httpPort, devices, "", 0ms, 17u * c + 1, stop, online); });
    }
    load.emplace_back([&] { ApiLoad(httpPort, devices, "NOT-CONNECTED", 50ms, 0, stop, offline); });
    std::this_thread::sleep_for(duration<double>(seconds));
    stop = true;
    for (auto& t : load) t.join();
    const double elapsed = duration<double>(steady_clock::now() - t0).count();
    const double cpu = 100 * (CpuSeconds(pid) - cpu0) / elapsed;
    const long cycles = churn.cycles.load() - cycles0, failed = churn.cycleFailures.load() - failed0;
    subStop = true;
    for (auto& t : subThreads) t.join();
    char perSub[64] = "-";
    if (subs) {
      std::snprintf(perSub, sizeof perSub, "%ld%s", events.load() / subs, subFailures.load() ? " (failures!)" : "");
    }
    std::printf("| %d subscribers | %s | %s | %s | %s | %.1f %% | %.0f (%ld) | %s |\n", subs, list.Text().c_str(),
                metrics.Text().c_str(), online.Text().c_str(), offline.Text().c_str(), cpu, cycles / elapsed, failed,
                perSub);
    std::fflush(stdout);
  }
  churnStop = true;
  for (auto& t : churners) t.join();
  return 0;
}
