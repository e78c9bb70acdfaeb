// Load client for bench/reach_bench.sh: what it costs to reach a device as the
// fleet grows, and what one flooding connection does to everyone else. Plain
// sockets and the C++ library only (no Velmo code; bench/LoopbackClient.h), so
// that it builds and runs against any velmo binary.
//
//   reach_load latency DEVICE-PORT HTTP-PORT COUNT WARMUP VELMO-PID
//     On one kept-alive HTTP connection, /api/cmd for an SN that is not
//     connected (answered { "device_online_status": 0 } at once); on one
//     device-port connection, a -46 relay to such an SN (answered
//     -470000000002); on another HTTP connection /api/hello, which looks no
//     device up (what the machine and the fleet's heartbeats alone cost).
//     Requests are sequential, one of each in turn, WARMUP of each first (not
//     counted), then COUNT of each.
//
//   reach_load flood list|relay read|noread SECONDS DEVICE-PORT HTTP-PORT VELMO-PID
//     1 s of velmo's idle CPU (the simulated fleet heartbeating, the 4
//     healthy registered devices of this client heartbeating every 2 s); then for
//     SECONDS one connection floods the device port with -88 (list) or with
//     -46 to an unknown SN (relay) as fast as the socket takes them, reading
//     and discarding the answers (read) or never reading (noread), while
//       - each healthy device, on its own, sends -88 and waits for its -89,
//         one after the other, every 20 ms (each waited for up to 5 s, a
//         timed-out one counted at 5 s; a late -89 is waited for, uncounted,
//         before the next -88);
//       - /api/cmd for an SN that is not connected is asked every 10 ms on a
//         kept-alive connection (each waited for up to 5 s);
//     then the flooding connection stops sending (it stays open, and keeps
//     reading in read mode), and velmo's CPU is taken over the 1 s that
//     starts 1 s later. Then the flooding connection is closed.
//
// Output: one line of key=value pairs on stdout (milliseconds, % of one core,
// KiB), for the script to lay out; errors on stderr, exit code 1.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/LoopbackClient.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kAnswerWait = 5s;                        // one request's bound
const std::string kUnknownSn = "209999999999999999999999";  // 24 bytes, never connected
constexpr int kHealthyDevices = 4;  // several, so that they are spread over velmo's I/O threads

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// ---- velmo's process figures ----

long CpuTicks(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto close = all.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(all.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  // Fields after the name start at 3 (state); utime is 14, stime 15.
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::atol(field.c_str());
    if (i == 15) stime = std::atol(field.c_str());
  }
  return utime + stime;
}

long StatusField(int pid, const std::string& name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, name.size() + 1, name + ":") == 0) return std::atol(line.c_str() + name.size() + 1);
  }
  return -1;
}

// CPU of `pid` over a window, as % of one core.
class CpuWindow {
 public:
  explicit CpuWindow(int pid) : pid_(pid), ticks_(CpuTicks(pid)), start_(Clock::now()) {}
  double Percent() const {
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    const long ticks = CpuTicks(pid_) - ticks_;
    return seconds > 0 ? 100.0 * static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds : 0;
  }

 private:
  int pid_;
  long ticks_;
  Clock::time_point start_;
};

// ---- sockets ----

using velmo::bench::ConnectLoopback;

bool SendAll(int fd, const std::string& bytes, Clock::time_point deadline) {
  std::size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      off += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) return false;
      continue;
    }
    return false;
  }
  return true;
}

// Appends what arrives on `fd` to `in` until something came or `deadline`.
// False when the deadline passed, or the peer closed or failed.
bool ReadMore(int fd, std::string& in, Clock::time_point deadline) {
  for (;;) {
    // A deadline already passed still takes what has arrived.
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(std::max<long long>(left, 0)));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    char buffer[131072];
    ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
      in.append(buffer, static_cast<std::size_t>(n));
      return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    return false;
  }
}

std::string Frame(const std::string& payload) {
  char header[8];
  std::snprintf(header, sizeof header, "@%05zu", payload.size());
  return header + payload;
}

// Takes one whole frame's payload off the front of `in`.
std::optional<std::string> TakeFrame(std::string& in) {
  auto at = in.find('@');
  if (at == std::string::npos) {
    in.clear();
    return std::nullopt;
  }
  if (in.size() < at + 6) return std::nullopt;
  const std::size_t length = static_cast<std::size_t>(std::atoi(in.substr(at + 1, 5).c_str()));
  if (in.size() < at + 6 + length) return std::nullopt;
  std::string payload = in.substr(at + 6, length);
  in.erase(0, at + 6 + length);
  return payload;
}

// The next frame whose payload begins with `code`, skipping others (a
// heartbeat's -37), or nothing by the deadline.
std::optional<std::string> ReadFrameWithCode(int fd, std::string& in, const std::string& code,
                                             Clock::time_point deadline) {
  for (;;) {
    while (auto frame = TakeFrame(in)) {
      if (frame->compare(0, code.size(), code) == 0) return frame;
    }
    if (!ReadMore(fd, in, deadline)) return std::nullopt;
  }
}

std::string SnPayload(const std::string& sn) {
  std::string field = sn;
  field.resize(24, '\0');
  return field;
}

// ---- latency samples ----

struct Samples {
  std::vector<double> ms;
  long failed = 0;     // no whole answer within the bound, or the connection failed
  long unexpected = 0; // a whole answer, but not the one for an SN that is not connected

  double At(double q) {
    if (ms.empty()) return -1;
    std::sort(ms.begin(), ms.end());
    std::size_t rank = static_cast<std::size_t>(q * static_cast<double>(ms.size()) + 0.999999);
    return ms[std::min(ms.size() - 1, rank == 0 ? 0 : rank - 1)];
  }
  // prefix_n, prefix_p50, prefix_p99, prefix_max, prefix_failed, prefix_unexpected
  std::string Keys(const std::string& prefix) {
    char text[320];
    const double p50 = At(0.5), p99 = At(0.99), max = ms.empty() ? -1 : ms.back();
    std::snprintf(text, sizeof text, "%s_n=%zu %s_p50=%.3f %s_p99=%.3f %s_max=%.3f %s_failed=%ld %s_unexpected=%ld",
                  prefix.c_str(), ms.size(), prefix.c_str(), p50, prefix.c_str(), p99, prefix.c_str(), max,
                  prefix.c_str(), failed, prefix.c_str(), unexpected);
    return text;
  }
};

// ---- /api/cmd for an SN that is not connected, on a kept-alive connection ----

// A kept-alive connection to one port, made again after a failure.
class KeptConnection {
 public:
  explicit KeptConnection(std::uint16_t port) : port_(port) {}
  ~KeptConnection() { Drop(); }

 protected:
  // Connected (again if need be); false, counted as a failure, when it cannot be.
  bool Ready(Samples& s) {
    if (fd_ < 0) fd_ = ConnectLoopback(port_);
    if (fd_ >= 0) return true;
    ++s.failed;
    std::this_thread::sleep_for(10ms);
    return false;
  }
  void Drop() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  std::uint16_t port_;
  int fd_ = -1;
};

class ApiClient : public KeptConnection {
 public:
  // /api/cmd for the SN that is not connected, or (hello) /api/hello: the
  // HTTP path without any device look-up, a yardstick for the machine itself.
  explicit ApiClient(std::uint16_t port, bool hello = false) : KeptConnection(port), hello_(hello) {}

  // One request; records its latency, or a failure (and reconnects next time).
  void Ask(Samples& s) {
    if (!Ready(s)) return;
    static const std::string command = "POST /api/cmd HTTP/1.1\r\nHost: 127.0.0.1\r\nSN: " + kUnknownSn +
                                       "\r\nContent-Length: 6\r\n\r\nled on";
    static const std::string hello = "GET /api/hello HTTP/1.1\r\nHost: 127.0.0.1\r\nSN: " + kUnknownSn + "\r\n\r\n";
    const auto start = Clock::now();
    const auto deadline = start + kAnswerWait;
    in_.clear();
    if (!SendAll(fd_, hello_ ? hello : command, deadline)) {
      ++s.failed;
      return Drop();
    }
    while (in_.find("\r\n0\r\n\r\n") == std::string::npos) {
      if (!ReadMore(fd_, in_, deadline)) {
        ++s.failed;
        return Drop();
      }
    }
    s.ms.push_back(Ms(Clock::now() - start));
    if (hello_) {
      if (in_.find("welcome") == std::string::npos) ++s.unexpected;
      return;
    }
    auto at = in_.find("\"device_online_status\"");
    std::string rest = at == std::string::npos ? "" : in_.substr(at + 22);
    auto digit = rest.find_first_not_of(": \"");
    if (digit == std::string::npos || rest[digit] != '0' ||
        (digit + 1 < rest.size() && std::isdigit(static_cast<unsigned char>(rest[digit + 1])))) {
      ++s.unexpected;
    }
  }

 private:
  bool hello_;
  std::string in_;
};

// ---- -46 to an SN that is not connected, on one device-port connection ----

class RelayClient : public KeptConnection {
 public:
  explicit RelayClient(std::uint16_t port) : KeptConnection(port) {}

  void Ask(Samples& s) {
    if (!Ready(s)) return;
    static const std::string frame = Frame("-46" + SnPayload(kUnknownSn) + "led on");
    const auto start = Clock::now();
    const auto deadline = start + kAnswerWait;
    if (!SendAll(fd_, frame, deadline)) {
      ++s.failed;
      return Drop();
    }
    auto answer = ReadFrameWithCode(fd_, in_, "-47", deadline);
    if (!answer) {
      ++s.failed;
      return Drop();
    }
    s.ms.push_back(Ms(Clock::now() - start));
    if (*answer != "-470000000002") ++s.unexpected;
  }

 private:
  void Drop() {  // what was half read goes with the connection
    KeptConnection::Drop();
    in_.clear();
  }
  std::string in_;
};

int RunLatency(std::uint16_t devicePort, std::uint16_t httpPort, int count, int warmup, int pid) {
  ApiClient api(httpPort);
  ApiClient hello(httpPort, true);
  RelayClient relay(devicePort);
  Samples warm, sApi, sRelay, sHello;
  for (int i = 0; i < warmup; ++i) {
    api.Ask(warm);
    relay.Ask(warm);
    hello.Ask(warm);
  }
  CpuWindow cpu(pid);
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    api.Ask(sApi);
    relay.Ask(sRelay);
    hello.Ask(sHello);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%s %s %s cpu=%.1f seconds=%.2f rss_kb=%ld threads=%ld\n", sApi.Keys("api").c_str(),
              sRelay.Keys("relay").c_str(), sHello.Keys("hello").c_str(), cpu.Percent(), seconds,
              StatusField(pid, "VmRSS"), StatusField(pid, "Threads"));
  return 0;
}

// ---- healthy registered devices: heartbeats and -88 round trips ----

struct HealthyDevice {
  std::string sn;
  int fd = -1;
  std::mutex sendLock;  // the heartbeat thread and the prober both send
  std::string in;       // the prober's alone
  Samples rtt;          // the prober's; read once it has ended
  double longest = 0;   // the longest wait for a -89, a late one included (ms)
  bool unanswered = false;  // its last -89 had not come when the run ended
  bool gone = false;    // velmo closed it
};

bool SendLocked(HealthyDevice& d, const std::string& frame) {
  std::lock_guard<std::mutex> g(d.sendLock);
  return d.fd >= 0 && SendAll(d.fd, frame, Clock::now() + kAnswerWait);
}

// ---- the flooding connection ----

struct FloodResult {
  long bytesSent = 0;
  long bytesRead = 0;
  long answers = 0;  // whole frames read back
  double closedAfter = -1;  // seconds into the flood when the server closed it; -1: it did not
};

// Sends `frame` over and over for `seconds`, as fast as the socket takes it;
// reads and discards when `read`. Afterwards keeps the connection open (and
// reading, when `read`) until `release`.
void Flood(int fd, const std::string& frame, bool read, double seconds, std::atomic<bool>& release,
           FloodResult& result) {
  std::string block;
  while (block.size() < 65536) block += frame;  // whole frames, so offsets stay frame-aligned
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::size_t off = 0;
  std::vector<char> sink(1 << 18);
  bool open = true;
  // Frames read back, counted without keeping them: a header, then its payload skipped.
  std::string header;
  std::size_t skip = 0;
  auto count = [&](const char* p, std::size_t n) {
    while (n > 0) {
      if (skip > 0) {
        const std::size_t k = std::min(skip, n);
        skip -= k, p += k, n -= k;
        continue;
      }
      const std::size_t k = std::min<std::size_t>(6 - header.size(), n);
      header.append(p, k);
      p += k, n -= k;
      if (header.size() == 6) {
        skip = static_cast<std::size_t>(std::atoi(header.c_str() + 1));
        header.clear();
        ++result.answers;
      }
    }
  };
  auto drain = [&]() {
    for (;;) {
      ssize_t n = recv(fd, sink.data(), sink.size(), MSG_DONTWAIT);
      if (n > 0) {
        result.bytesRead += n;
        count(sink.data(), static_cast<std::size_t>(n));
        continue;
      }
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        open = false;
        result.closedAfter = std::chrono::duration<double>(Clock::now() - start).count();
      }
      return;
    }
  };
  while (open && Clock::now() < end) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
    pollfd p{fd, static_cast<short>(POLLOUT | (read ? POLLIN : 0)), 0};
    int r = poll(&p, 1, static_cast<int>(std::min<long long>(left, 50)));
    if (r <= 0) continue;
    if (p.revents & POLLIN) drain();
    if (!open) break;
    if (p.revents & POLLOUT) {
      for (;;) {
        ssize_t n = send(fd, block.data() + off, block.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
          result.bytesSent += n;
          off = (off + static_cast<std::size_t>(n)) % block.size();
          continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) break;
        open = false;
        result.closedAfter = std::chrono::duration<double>(Clock::now() - start).count();
        break;
      }
    } else if (p.revents & (POLLERR | POLLHUP)) {
      open = false;
      result.closedAfter = std::chrono::duration<double>(Clock::now() - start).count();
    }
  }
  // Stopped sending: stay connected until released.
  while (!release.load()) {
    if (open && read) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 20) > 0) drain();
    } else {
      std::this_thread::sleep_for(20ms);
    }
  }
}

int RunFlood(bool list, bool read, double seconds, std::uint16_t devicePort, std::uint16_t httpPort, int pid) {
  // The healthy devices register and get their first answer.
  std::vector<std::unique_ptr<HealthyDevice>> devices;
  for (int i = 0; i < kHealthyDevices; ++i) {
    auto d = std::make_unique<HealthyDevice>();
    char sn[32];
    std::snprintf(sn, sizeof sn, "2024%020d", i + 1);
    d->sn = sn;
    d->fd = ConnectLoopback(devicePort);
    if (d->fd < 0) {
      std::fprintf(stderr, "reach_load: cannot connect to the device port %u\n", devicePort);
      return 1;
    }
    SendLocked(*d, Frame("-36" + d->sn));
    if (!ReadFrameWithCode(d->fd, d->in, "-", Clock::now() + kAnswerWait)) {
      std::fprintf(stderr, "reach_load: device %s got no answer to its registration\n", sn);
      return 1;
    }
    devices.push_back(std::move(d));
  }

  std::atomic<bool> stop{false};
  std::atomic<bool> probing{false};
  std::thread heartbeats([&] {
    while (!stop.load()) {
      for (auto& d : devices) SendLocked(*d, Frame("-36" + d->sn));
      for (int i = 0; i < 100 && !stop.load(); ++i) std::this_thread::sleep_for(20ms);
    }
  });

  // Probers: they run while `probing`; a probe counts when it started while
  // `record` (the flood). Each healthy device probes on its own, so that one
  // that waits does not hold the others' probes back.
  std::atomic<bool> record{false};
  std::vector<std::thread> listers;
  for (auto& device : devices) {
    listers.emplace_back([&, d = device.get()] {
      static const std::string ask = Frame("-88");
      while (!stop.load() && !d->gone) {
        if (!probing.load()) {
          std::this_thread::sleep_for(5ms);
          continue;
        }
        const auto start = Clock::now();
        const bool rec = record.load();
        if (!SendLocked(*d, ask)) {
          d->gone = true;
          break;
        }
        auto answer = ReadFrameWithCode(d->fd, d->in, "-89", start + kAnswerWait);
        if (rec) {
          if (answer) {
            d->rtt.ms.push_back(Ms(Clock::now() - start));
          } else {
            ++d->rtt.failed;
          }
        }
        // A -89 that is late is waited for, outside the percentiles, before the next probe.
        while (!answer && !stop.load()) {
          pollfd p{d->fd, POLLIN | POLLRDHUP, 0};
          if (poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) && !(p.revents & POLLIN)) {
            d->gone = true;
            break;
          }
          answer = ReadFrameWithCode(d->fd, d->in, "-89", Clock::now() + 100ms);
        }
        if (rec) d->longest = std::max(d->longest, Ms(Clock::now() - start));
        if (!answer) d->unanswered = true;
        std::this_thread::sleep_until(start + 20ms);
      }
    });
  }
  Samples api;
  std::thread asker([&] {
    ApiClient client(httpPort);
    Samples warm;
    while (!stop.load()) {
      if (!probing.load()) {
        std::this_thread::sleep_for(5ms);
        continue;
      }
      const auto tick = Clock::now();
      client.Ask(record.load() ? api : warm);
      std::this_thread::sleep_until(tick + 10ms);
    }
  });

  // Warm-up of the probers, then velmo's idle figure (probers paused).
  probing = true;
  std::this_thread::sleep_for(500ms);
  probing = false;
  std::this_thread::sleep_for(200ms);
  const long rssBefore = StatusField(pid, "VmRSS");
  double idleCpu;
  {
    CpuWindow idle(pid);
    std::this_thread::sleep_for(1s);
    idleCpu = idle.Percent();
  }

  // The flood, with the probers recording.
  int floodFd = ConnectLoopback(devicePort);
  if (floodFd < 0) {
    std::fprintf(stderr, "reach_load: cannot connect the flooding connection\n");
    stop = true;
    heartbeats.join();
    for (auto& t : listers) t.join();
    asker.join();
    return 1;
  }
  const std::string frame = list ? Frame("-88") : Frame("-46" + SnPayload(kUnknownSn) + "x");
  std::atomic<bool> release{false};
  FloodResult flood;
  record = true;
  probing = true;
  CpuWindow during(pid);
  std::thread flooder([&] { Flood(floodFd, frame, read, seconds, release, flood); });
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  probing = false;
  const double floodCpu = during.Percent();
  // The probers finish what they were waiting for before the after window.
  std::this_thread::sleep_for(1s);
  record = false;
  double afterCpu;
  {
    CpuWindow after(pid);
    std::this_thread::sleep_for(1s);
    afterCpu = after.Percent();
  }
  const long rssAfter = StatusField(pid, "VmRSS");
  const long threads = StatusField(pid, "Threads");
  release = true;
  flooder.join();
  close(floodFd);
  stop = true;
  heartbeats.join();
  for (auto& t : listers) t.join();
  asker.join();
  // All the round trips, a timed-out one counted as the bound (so that the
  // percentiles do not leave out the worst); and the least served device:
  // the one that made the fewest round trips, with its longest.
  Samples rtt;
  long healthyDropped = 0;
  double worstMax = -1, longest = 0;
  std::size_t worstN = SIZE_MAX;
  long unanswered = 0;
  for (auto& d : devices) {
    if (d->fd >= 0) close(d->fd);
    if (d->gone) ++healthyDropped;
    if (d->unanswered && !d->gone) ++unanswered;
    longest = std::max(longest, d->longest);
    Samples own = d->rtt;
    for (long i = 0; i < own.failed; ++i) own.ms.push_back(Ms(kAnswerWait));
    if (own.ms.size() < worstN) {
      worstN = own.ms.size();
      worstMax = own.ms.empty() ? -1 : *std::max_element(own.ms.begin(), own.ms.end());
    }
    rtt.ms.insert(rtt.ms.end(), own.ms.begin(), own.ms.end());
    rtt.failed += own.failed;
  }

  std::printf("%s list_least_n=%zu list_least_max=%.3f list_longest_wait=%.3f list_unanswered=%ld %s flood_frames=%ld flood_sent_kib=%ld flood_read_kib=%ld flood_answers=%ld flood_closed_after=%.2f "
              "healthy_dropped=%ld cpu_idle=%.1f cpu_flood=%.1f cpu_after=%.1f rss_before_kb=%ld rss_after_kb=%ld "
              "threads=%ld\n",
              rtt.Keys("list").c_str(), worstN, worstMax, longest, unanswered, api.Keys("api").c_str(), flood.bytesSent / static_cast<long>(frame.size()),
              flood.bytesSent / 1024, flood.bytesRead / 1024, flood.answers, flood.closedAfter, healthyDropped, idleCpu, floodCpu,
              afterCpu, rssBefore, rssAfter, threads);
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: reach_load latency DEVICE-PORT HTTP-PORT COUNT WARMUP VELMO-PID\n"
               "       reach_load flood list|relay read|noread SECONDS DEVICE-PORT HTTP-PORT VELMO-PID\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> a(argv + 1, argv + argc);
  if (a.size() == 6 && a[0] == "latency") {
    return RunLatency(static_cast<std::uint16_t>(std::atoi(a[1].c_str())),
                      static_cast<std::uint16_t>(std::atoi(a[2].c_str())), std::atoi(a[3].c_str()),
                      std::atoi(a[4].c_str()), std::atoi(a[5].c_str()));
  }
  if (a.size() == 7 && a[0] == "flood" && (a[1] == "list" || a[1] == "relay") &&
      (a[2] == "read" || a[2] == "noread")) {
    return RunFlood(a[1] == "list", a[2] == "read", std::atof(a[3].c_str()),
                    static_cast<std::uint16_t>(std::atoi(a[4].c_str())),
                    static_cast<std::uint16_t>(std::atoi(a[5].c_str())), std::atoi(a[6].c_str()));
  }
  return Usage();
}
