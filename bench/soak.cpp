// Soak load for a running velmo: for S seconds, at the same time,
//  - churn: C clients connect, send one heartbeat with a fresh SN, read the
//    reply and leave, CHURN-RATE cycles a second in all at most;
//  - hostile rounds on both ports: a random byte stream, a frame that announces
//    99 999 bytes and stops, a "POST" head grown to its limit, half-open HTTP
//    connections, a 1 MB request head, a body that never ends; all held for a
//    few seconds, then dropped (a third of them with a reset);
//  - API clients: "/api/cmd" to random steady devices (run by velmo-devsim)
//    and "/api/hello" now and then.
// Every minute it prints the server's descriptors, threads and resident
// memory (read from /proc/PID); at the end it stops the load, waits for the
// server to settle and prints the figures as Markdown.
//   ./build/bench/soak PID DEVICE-PORT HTTP-PORT SECONDS STEADY-DEVICES [CHURN-CLIENTS=20] [CHURN-RATE=500] [API-CLIENTS=10]
// Exit status: 0 when nothing was lost (churn and API all answered, the
// server back to its starting descriptors and threads), 1 otherwise.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/Churn.h"
#include "tools/devsim/DevsimOptions.h"
#include "tools/devsim/FrameClient.h"
#include "tools/procstat/ProcStat.h"

using namespace std::chrono;

namespace {

struct ServerSample {
  int fds = -1;
  long threads = -1;
  long rssKb = -1;
};

// The server's open descriptors, threads and resident memory; -1 fields when
// the process is gone.
ServerSample Sample(int pid) {
  const std::string proc = std::to_string(pid);
  ServerSample s;
  s.fds = velmo::procstat::OpenDescriptors(proc);
  s.threads = velmo::procstat::StatusField(proc, "Threads");
  s.rssKb = velmo::procstat::StatusField(proc, "VmRSS");
  return s;
}

// A raw loopback connection closed when dropped; `reset` closes it with RST.
class Conn {
 public:
  explicit Conn(std::uint16_t port) : fd_(velmo::bench::ConnectLoopback(port)) {}
  ~Conn() {
    if (fd_ >= 0) close(fd_);
  }
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;
  bool Ok() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  // Sends as much of `bytes` as the peer takes within `timeout`; false when
  // the connection failed or stalled.
  bool Send(const std::string& bytes, milliseconds timeout = 2000ms) {
    std::size_t off = 0;
    auto end = steady_clock::now() + timeout;
    while (fd_ >= 0 && off < bytes.size()) {
      pollfd p{fd_, POLLOUT, 0};
      if (poll(&p, 1, 50) <= 0) {
        if (steady_clock::now() >= end) return false;
        continue;
      }
      ssize_t n = send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n <= 0) return false;
      off += static_cast<std::size_t>(n);
    }
    return fd_ >= 0;
  }
  // Reads and discards whatever has arrived, without waiting.
  void Drain() {
    char buf[1 << 14];
    while (fd_ >= 0 && recv(fd_, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
  }
  void Reset() {
    linger l{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }

 private:
  int fd_;
};

struct Counters {
  std::atomic<long> cycles{0}, cycleFailures{0};
  std::atomic<long> hostileRounds{0}, hostileBytes{0};
  std::atomic<long> apiRequests{0}, apiOnes{0}, apiFailures{0}, helloFailures{0};
  std::mutex latencyLock;
  std::vector<double> latencies;
};

// One round of hostile input, held for `hold`, then dropped.
void HostileRound(std::uint16_t devicePort, std::uint16_t httpPort, std::mt19937& rng, milliseconds hold, Counters& c) {
  std::vector<std::unique_ptr<Conn>> held;
  auto open = [&](std::uint16_t port, const std::string& bytes) {
    held.push_back(std::make_unique<Conn>(port));
    if (held.back()->Send(bytes)) c.hostileBytes += static_cast<long>(bytes.size());
  };
  {
    // 8 MB of random bytes; what they provoke is read as a peer would.
    Conn noise(devicePort);
    std::string chunk(1 << 16, '\0');
    for (int i = 0; i < 128 && noise.Ok(); ++i) {
      for (auto& ch : chunk) ch = static_cast<char>(rng());
      if (!noise.Send(chunk)) break;
      c.hostileBytes += static_cast<long>(chunk.size());
      noise.Drain();
    }
  }
  open(devicePort, "@99999-19" + std::string(50000, 't'));
  const std::string post = "POST /SN?" + std::string(24, '2') + " HTTP/1.1\r\n";
  open(devicePort, post + std::string(199998 - post.size(), 'h'));  // up to the held-bytes limit
  for (int i = 0; i < 200; ++i) open(httpPort, "GET /api/hel");
  open(httpPort, "GET /api/hello HTTP/1.1\r\nSN: 1\r\nX: " + std::string(1 << 20, 'x') + "\r\n\r\n");
  open(httpPort, "POST /api/cmd HTTP/1.1\r\nSN: 1\r\nContent-Length: 100000000\r\n\r\n" + std::string(1 << 20, 'b'));
  std::this_thread::sleep_for(hold);
  for (std::size_t i = 0; i < held.size(); i += 3) held[i]->Reset();
  ++c.hostileRounds;
}

// Sends "/api/hello" on a fresh connection; true when it was answered.
bool Hello(std::uint16_t httpPort) {
  Conn api(httpPort);
  return api.Ok() && velmo::bench::HttpExchange(api.Fd(), "GET /api/hello HTTP/1.1\r\nSN: 1\r\n\r\n", 5000)
                             .find("welcome to tarnel") != std::string::npos;
}

void Api(int client, std::uint16_t httpPort, int devices, const std::atomic<bool>& stop, Counters& c) {
  std::mt19937 rng(static_cast<unsigned>(client) * 7919u + 11);
  velmo::devsim::Options sims;
  std::vector<double> mine;
  int fd = velmo::bench::ConnectLoopback(httpPort);
  for (long i = 0; !stop.load(); ++i) {
    if (fd < 0) {
      ++c.apiFailures;
      std::this_thread::sleep_for(100ms);
      fd = velmo::bench::ConnectLoopback(httpPort);
      continue;
    }
    std::string sn = velmo::devsim::DeviceSn(sims, static_cast<int>(rng() % static_cast<unsigned>(devices)));
    auto t0 = steady_clock::now();
    char status = velmo::bench::ApiCmd(fd, sn);
    ++c.apiRequests;
    if (status == '?') {
      ++c.apiFailures;
      close(fd);
      fd = velmo::bench::ConnectLoopback(httpPort);
      continue;
    }
    mine.push_back(duration<double, std::milli>(steady_clock::now() - t0).count());
    if (status == '1') ++c.apiOnes;
    if (client == 0 && i % 20 == 0 && !Hello(httpPort)) ++c.helloFailures;
  }
  if (fd >= 0) close(fd);
  std::lock_guard<std::mutex> g(c.latencyLock);
  c.latencies.insert(c.latencies.end(), mine.begin(), mine.end());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr,
                 "usage: %s PID DEVICE-PORT HTTP-PORT SECONDS STEADY-DEVICES [CHURN-CLIENTS=20] [CHURN-RATE=500] [API-CLIENTS=10]\n",
                 argv[0]);
    return 2;
  }
  const int pid = std::atoi(argv[1]);
  const auto devicePort = static_cast<std::uint16_t>(std::atoi(argv[2]));
  const auto httpPort = static_cast<std::uint16_t>(std::atoi(argv[3]));
  const double seconds = std::atof(argv[4]);
  const int devices = std::atoi(argv[5]);
  const int churnClients = argc > 6 ? std::atoi(argv[6]) : 20;
  const double churnRate = argc > 7 ? std::atof(argv[7]) : 500;
  const int apiClients = argc > 8 ? std::atoi(argv[8]) : 10;
  if (pid <= 0 || devicePort == 0 || httpPort == 0 || seconds <= 0 || devices <= 0 || churnRate <= 0) {
    std::fprintf(stderr, "soak: bad arguments\n");
    return 2;
  }

  const ServerSample start = Sample(pid);
  if (start.fds < 0) {
    std::fprintf(stderr, "soak: no process %d\n", pid);
    return 2;
  }
  Counters c;
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  const auto gap = duration_cast<steady_clock::duration>(duration<double>(churnClients / churnRate));
  for (int i = 0; i < churnClients; ++i) threads.emplace_back([&, i] { velmo::bench::Churn(i, devicePort, gap, stop, c); });
  for (int i = 0; i < apiClients; ++i) threads.emplace_back([&, i] { Api(i, httpPort, devices, stop, c); });
  threads.emplace_back([&] {
    std::mt19937 rng(5);
    while (!stop.load()) HostileRound(devicePort, httpPort, rng, 3000ms, c);
  });

  const auto t0 = steady_clock::now();
  const auto end = t0 + duration_cast<steady_clock::duration>(duration<double>(seconds));
  ServerSample warm{}, peak = start;
  std::printf("| minutes | descriptors | threads | RSS | churn cycles | hostile rounds | /api/cmd |\n"
              "|---|---|---|---|---|---|---|\n");
  std::fflush(stdout);
  for (int minute = 1; steady_clock::now() < end; ++minute) {
    std::this_thread::sleep_until(std::min(end, t0 + minutes(minute)));
    ServerSample s = Sample(pid);
    if (s.fds < 0) {
      std::fprintf(stderr, "soak: the server is gone\n");
      stop = true;
      for (auto& t : threads) t.join();
      return 1;
    }
    if (minute == 1) warm = s;
    peak.fds = std::max(peak.fds, s.fds);
    peak.threads = std::max(peak.threads, s.threads);
    peak.rssKb = std::max(peak.rssKb, s.rssKb);
    std::printf("| %.1f | %d | %ld | %ld MB | %ld | %ld | %ld |\n",
                duration<double>(steady_clock::now() - t0).count() / 60, s.fds, s.threads, s.rssKb / 1024,
                c.cycles.load(), c.hostileRounds.load(), c.apiRequests.load());
    std::fflush(stdout);
  }
  stop = true;
  for (auto& t : threads) t.join();
  const double elapsed = duration<double>(steady_clock::now() - t0).count();

  // The server lets go of the churn and hostile connections as they close.
  ServerSample settled = Sample(pid);
  for (int i = 0; i < 600 && (settled.fds > start.fds || settled.threads > start.threads); ++i) {
    std::this_thread::sleep_for(100ms);
    settled = Sample(pid);
  }
  if (warm.fds < 0) warm = settled;

  auto& l = c.latencies;
  std::sort(l.begin(), l.end());
  auto pct = [&](double p) { return l.empty() ? 0.0 : l[std::min(l.size() - 1, static_cast<std::size_t>(p * l.size()))]; };
  std::printf("\nAfter %.0f s with %d steady devices, %d churn clients (%.0f cycles/s at most), %d API clients:\n\n",
              elapsed, devices, churnClients, churnRate, apiClients);
  std::printf("| | descriptors | threads | RSS |\n|---|---|---|---|\n");
  auto row = [](const char* what, const ServerSample& s) {
    std::printf("| %s | %d | %ld | %ld MB |\n", what, s.fds, s.threads, s.rssKb / 1024);
  };
  row("start", start);
  row("after the first minute", warm);
  row("peak", peak);
  row("settled at the end", settled);
  std::printf("\n");
  std::printf("- churn: %ld connect/heartbeat/disconnect cycles, %ld failed\n", c.cycles.load(), c.cycleFailures.load());
  std::printf("- hostile: %ld rounds, %.0f MB sent\n", c.hostileRounds.load(), c.hostileBytes.load() / 1048576.0);
  std::printf("- /api/cmd: %ld requests, answered 1: %.2f %%, failed %ld, p50 %.0f ms, p99 %.0f ms, max %.0f ms; "
              "/api/hello failed %ld\n",
              c.apiRequests.load(), c.apiRequests ? 100.0 * c.apiOnes.load() / c.apiRequests.load() : 0.0,
              c.apiFailures.load(), pct(0.5), pct(0.99), l.empty() ? 0.0 : l.back(), c.helloFailures.load());
  const bool ok = c.cycleFailures == 0 && c.apiFailures == 0 && c.helloFailures == 0 && c.apiOnes == c.apiRequests &&
                  settled.fds <= start.fds && settled.threads <= start.threads;
  std::printf("- verdict: %s\n", ok ? "nothing lost; the server is back to its starting descriptors and threads"
                                    : "SOMETHING WAS LOST (see the figures above)");
  return ok ? 0 : 1;
}
