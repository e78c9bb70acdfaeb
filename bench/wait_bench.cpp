// Many requests waiting at once, against a running Velmo: DEVICES devices
// register and then stay silent (they keep their connection with a protocol
// frame that takes no text), WAITERS "/api/cmd" requests are sent at once, each
// on its own connection, to those devices, and "/api/hello" is asked every
// 10 ms on another connection meanwhile. Every command should be answered "2"
// (not taken) about 5 s after it was sent; nothing else should wait for them.
//   ./build/bench/wait_bench DEVICE_PORT HTTP_PORT [WAITERS=10000] [DEVICES=1000]
// Prints one line: how many were answered with what, the slowest answer, and
// the /api/hello latencies while the commands waited.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"

using namespace std::chrono;
using velmo::bench::ConnectLoopback;

namespace {

std::string Frame(const std::string& payload) {
  char header[8];
  std::snprintf(header, sizeof header, "@%05zu", payload.size());
  return header + payload;
}

std::string Sn(int i) {
  char sn[32];
  std::snprintf(sn, sizeof sn, "2098%020d", i);
  return sn;
}

double Ms(steady_clock::duration d) { return duration_cast<microseconds>(d).count() / 1000.0; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: wait_bench DEVICE_PORT HTTP_PORT [WAITERS=10000] [DEVICES=1000]\n");
    return 2;
  }
  const auto devicePort = static_cast<std::uint16_t>(std::atoi(argv[1]));
  const auto httpPort = static_cast<std::uint16_t>(std::atoi(argv[2]));
  const int waiters = argc > 3 ? std::atoi(argv[3]) : 10000;
  const int devices = argc > 4 ? std::atoi(argv[4]) : 1000;
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);

  // The silent devices: registered, then only "-05" (a protocol frame that
  // keeps the connection and takes no text) every 2 s.
  std::vector<int> deviceFds;
  for (int i = 0; i < devices; ++i) {
    int fd = ConnectLoopback(devicePort);
    if (fd < 0) {
      std::fprintf(stderr, "wait_bench: device %d could not connect\n", i);
      return 1;
    }
    std::string hello = Frame("-36" + Sn(i));
    send(fd, hello.data(), hello.size(), MSG_NOSIGNAL);
    deviceFds.push_back(fd);
  }
  std::atomic<bool> stop{false};
  std::thread keepAlive([&] {
    const std::string keep = Frame("-05");
    char sink[4096];
    while (!stop) {
      for (int fd : deviceFds) {
        send(fd, keep.data(), keep.size(), MSG_NOSIGNAL);
        while (recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
      }
      for (int i = 0; i < 20 && !stop; ++i) std::this_thread::sleep_for(100ms);
    }
  });
  std::this_thread::sleep_for(500ms);  // every device has registered

  // The probe: /api/hello every 10 ms, one at a time, on one connection.
  std::vector<double> hello;
  std::atomic<bool> measuring{false};
  int helloFailed = 0;
  std::thread probe([&] {
    int fd = ConnectLoopback(httpPort);
    while (!stop) {
      auto t0 = steady_clock::now();
      std::string reply = velmo::bench::HttpExchange(fd, "GET /api/hello HTTP/1.1\r\nSN: 1\r\n\r\n", 5000);
      auto t1 = steady_clock::now();
      if (measuring) {
        if (reply.find("welcome to tarnel") == std::string::npos) ++helloFailed;
        hello.push_back(Ms(t1 - t0));
      }
      std::this_thread::sleep_for(10ms);
    }
    close(fd);
  });

  // The waiting commands: connect them all, then send them all at once.
  std::vector<int> fds(static_cast<std::size_t>(waiters), -1);
  for (int i = 0; i < waiters; ++i) {
    fds[static_cast<std::size_t>(i)] = ConnectLoopback(httpPort);
    if (fds[static_cast<std::size_t>(i)] < 0) {
      std::fprintf(stderr, "wait_bench: request %d could not connect\n", i);
      stop = true;
      keepAlive.join();
      probe.join();
      return 1;
    }
  }
  int epoll = epoll_create1(0);
  std::vector<steady_clock::time_point> sent(static_cast<std::size_t>(waiters));
  std::vector<std::string> replies(static_cast<std::size_t>(waiters));
  measuring = true;
  const auto start = steady_clock::now();
  for (int i = 0; i < waiters; ++i) {
    std::string request = "POST /api/cmd HTTP/1.1\r\nSN: " + Sn(i % devices) + "\r\nContent-Length: 6\r\n\r\nled on";
    int fd = fds[static_cast<std::size_t>(i)];
    sent[static_cast<std::size_t>(i)] = steady_clock::now();
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = static_cast<std::uint32_t>(i);
    epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev);
  }
  const auto allSent = steady_clock::now();

  int answered = 0;
  std::map<char, int> statuses;
  double slowest = 0;
  epoll_event events[256];
  while (answered < waiters && steady_clock::now() - start < 30s) {
    int n = epoll_wait(epoll, events, 256, 100);
    for (int k = 0; k < n; ++k) {
      std::size_t i = events[k].data.u32;
      char buf[512];
      ssize_t r = recv(fds[i], buf, sizeof buf, 0);
      if (r <= 0) {
        epoll_ctl(epoll, EPOLL_CTL_DEL, fds[i], nullptr);
        ++statuses['x'];
        ++answered;
        continue;
      }
      replies[i].append(buf, static_cast<std::size_t>(r));
      if (replies[i].find("\r\n0\r\n\r\n") == std::string::npos) continue;
      epoll_ctl(epoll, EPOLL_CTL_DEL, fds[i], nullptr);
      auto at = replies[i].find("device_online_status\": ");
      ++statuses[at == std::string::npos ? '?' : replies[i][at + 23]];
      slowest = std::max(slowest, Ms(steady_clock::now() - sent[i]));
      ++answered;
    }
  }
  measuring = false;
  const double all = Ms(steady_clock::now() - start);
  stop = true;
  keepAlive.join();
  probe.join();

  std::sort(hello.begin(), hello.end());
  auto at = [&](double q) { return hello.empty() ? 0.0 : hello[static_cast<std::size_t>(q * (hello.size() - 1))]; };
  std::printf("wait_bench: %d requests sent in %.0f ms to %d silent devices; %d answered in %.0f ms:", waiters,
              Ms(allSent - start), devices, answered, all);
  for (auto& [status, count] : statuses) std::printf(" %d with %c", count, status);
  std::printf("; slowest answer %.0f ms after its request; /api/hello meanwhile: %zu asked, %d failed, p50 %.1f ms, "
              "p99 %.1f ms, max %.1f ms\n",
              slowest, hello.size(), helloFailed, at(0.5), at(0.99), hello.empty() ? 0.0 : hello.back());
  for (int fd : fds) close(fd);
  for (int fd : deviceFds) close(fd);
  return answered == waiters && statuses['2'] == waiters ? 0 : 1;
}
