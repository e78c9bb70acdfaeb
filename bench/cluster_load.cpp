// Load on a fleet of velmo nodes sharing one device registry, for running
// nodes with steady devices spread over them by velmo-devsim --server A,B,C
// (device i held by node i mod the number of nodes). For S seconds, all at
// once:
//   1. /api/cmd to a random device through a random node, RATE a second on a
//      fixed schedule, from a pool of workers with kept-alive connections:
//      latency and the answers (device_online_status 1, 2, 0);
//   2. pairs: for a random device, the same /api/cmd sent at the same moment
//      through the node holding it and through another node, PAIRS in all.
//      The device takes both texts with the same heartbeat, so the difference
//      of the two latencies is the cost of the forwarding node's hop;
//   3. GET /v1/devices/{sn} on the management port through the holding node
//      and through another node, one after the other, as many as the pairs:
//      that route answers at once, so its whole round trip is compared.
//   ./build/bench/cluster_load SECONDS DEVICES RATE PAIRS HTTP-PORTS ADMIN-PORTS [SN-PREFIX=2023]
// (the ports comma-separated, in the order of velmo-devsim's --server). Prints
// a Markdown table; one summary line on stderr.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "bench/BenchSupport.h"
#include "tools/devsim/DevsimOptions.h"

using namespace std::chrono;
namespace beast = boost::beast;
namespace http = beast::http;

namespace {

using Clock = steady_clock;

double Ms(Clock::duration d) { return duration<double, std::milli>(d).count(); }

// Latencies and the answers that came with them.
struct Sample {
  std::mutex lock;
  std::vector<double> ms;
  std::array<long, 4> answers{};  // device_online_status 0, 1, 2; failed (no whole reply, or not 200)
  void Add(double v, char answer) {
    std::lock_guard<std::mutex> g(lock);
    const int slot = answer == '0' ? 0 : answer == '1' ? 1 : answer == '2' ? 2 : 3;
    ++answers[slot];
    if (slot != 3) ms.push_back(v);
  }
  long Count() {
    std::lock_guard<std::mutex> g(lock);
    return answers[0] + answers[1] + answers[2] + answers[3];
  }
  // "| n | p50 | p99 | max |"
  std::string Cells(const char* unit = " ms") {
    std::lock_guard<std::mutex> g(lock);
    const long n = answers[0] + answers[1] + answers[2] + answers[3];
    if (ms.empty()) return "| " + std::to_string(n) + " | - | - | - |";
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<std::size_t>(q * ms.size()))]; };
    char text[160];
    std::snprintf(text, sizeof text, "| %ld | %.1f%s | %.1f%s | %.1f%s |", n, at(0.5), unit, at(0.99), unit,
                  ms.back(), unit);
    return text;
  }
  std::string ApiAnswers() {
    std::lock_guard<std::mutex> g(lock);
    return std::to_string(answers[1]) + " / " + std::to_string(answers[2]) + " / " + std::to_string(answers[0]) +
           " / " + std::to_string(answers[3]);
  }
};

// True when the kept-alive connection `fd` was closed by the server while idle.
bool ClosedWhileIdle(int fd) {
  pollfd p{fd, POLLIN | POLLRDHUP, 0};
  return poll(&p, 1, 0) > 0;
}

// Kept-alive connections to every node's HTTP API, opened when first needed.
class ApiConnections {
 public:
  explicit ApiConnections(const std::vector<std::uint16_t>& ports) : ports_(ports), fds_(ports.size(), -1) {}
  ~ApiConnections() {
    for (int fd : fds_) {
      if (fd >= 0) close(fd);
    }
  }
  // A usable connection to node `node`, or -1.
  int Get(std::size_t node) {
    int& fd = fds_[node];
    if (fd >= 0 && ClosedWhileIdle(fd)) Drop(node);
    if (fd < 0) fd = velmo::bench::ConnectLoopback(ports_[node]);
    return fd;
  }
  void Drop(std::size_t node) {
    if (fds_[node] >= 0) close(fds_[node]);
    fds_[node] = -1;
  }

 private:
  std::vector<std::uint16_t> ports_;
  std::vector<int> fds_;
};

std::string ApiRequest(const std::string& sn) {
  return "POST /api/cmd HTTP/1.1\r\nSN: " + sn + "\r\nContent-Length: 6\r\n\r\nled on";
}

char StatusOf(const std::string& reply) {
  auto at = reply.find("device_online_status\": ");
  return at == std::string::npos || at + 23 >= reply.size() ? '?' : reply[at + 23];
}

// The two halves of a pair, sent back to back on their connections, read as
// they come. Sets each one's latency (from its own send) and answer.
void Exchange2(const std::array<int, 2>& fds, const std::string& request, std::array<double, 2>& ms,
               std::array<char, 2>& answer, bool secondFirst) {
  std::array<Clock::time_point, 2> sent;
  std::array<std::string, 2> reply;
  std::array<bool, 2> open{true, true};
  answer = {'?', '?'};
  ms = {0, 0};
  for (int k = 0; k < 2; ++k) {
    const int i = secondFirst ? 1 - k : k;
    sent[i] = Clock::now();
    if (send(fds[i], request.data(), request.size(), MSG_NOSIGNAL) < 0) open[i] = false;
  }
  char buf[512];
  while (open[0] || open[1]) {
    std::array<pollfd, 2> p{pollfd{open[0] ? fds[0] : -1, POLLIN, 0}, pollfd{open[1] ? fds[1] : -1, POLLIN, 0}};
    if (poll(p.data(), 2, 10000) <= 0) break;
    for (int i = 0; i < 2; ++i) {
      if (!open[i] || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = recv(fds[i], buf, sizeof buf, 0);
      if (n <= 0) {
        open[i] = false;
        continue;
      }
      reply[i].append(buf, static_cast<std::size_t>(n));
      if (reply[i].find("\r\n0\r\n\r\n") != std::string::npos) {
        ms[i] = Ms(Clock::now() - sent[i]);
        answer[i] = StatusOf(reply[i]);
        open[i] = false;
      }
    }
  }
}

struct Config {
  double seconds = 30;
  int devices = 0;
  double rate = 50;
  int pairs = 300;
  std::vector<std::uint16_t> http, admin;
  velmo::devsim::Options sims;
  std::size_t Nodes() const { return http.size(); }
  std::size_t Holder(int device) const { return static_cast<std::size_t>(device) % Nodes(); }
  std::string Sn(int device) const { return velmo::devsim::DeviceSn(sims, device); }
};

struct Results {
  Sample all, viaHolder, forwarded;         // 1.
  Sample pairLocal, pairRemote, pairDiff;  // 2.
  std::atomic<long> splitPairs{0};          // taken by different heartbeats
  Sample getLocal, getRemote;               // 3.
  std::atomic<long> late{0};                // requests sent more than 50 ms after their slot
};

// 1: worker `w` of `workers` sends requests w, w + workers, ... of the schedule.
void RandomCommands(const Config& c, int w, int workers, Clock::time_point t0, Clock::time_point end, Results& r) {
  std::mt19937 rng(1000u + static_cast<unsigned>(w));
  ApiConnections conns(c.http);
  const auto gap = duration_cast<Clock::duration>(duration<double>(1.0 / c.rate));
  for (long k = w;; k += workers) {
    const auto slot = t0 + k * gap;
    if (slot >= end) break;
    std::this_thread::sleep_until(slot);
    if (Clock::now() - slot > 50ms) ++r.late;
    const int device = static_cast<int>(rng() % static_cast<unsigned>(c.devices));
    const std::size_t node = rng() % c.Nodes();
    const int fd = conns.Get(node);
    const auto sent = Clock::now();
    std::string reply = fd < 0 ? "" : velmo::bench::HttpExchange(fd, ApiRequest(c.Sn(device)), 10000);
    const double ms = Ms(Clock::now() - sent);
    const char answer = StatusOf(reply);
    if (answer == '?') conns.Drop(node);
    r.all.Add(ms, answer);
    (node == c.Holder(device) ? r.viaHolder : r.forwarded).Add(ms, answer);
  }
}

// 2: worker `w` of `workers` sends pairs w, w + workers, ... spread evenly over the window.
void Pairs(const Config& c, int w, int workers, Clock::time_point t0, Clock::time_point end, Results& r) {
  std::mt19937 rng(5000u + static_cast<unsigned>(w));
  ApiConnections conns(c.http);
  const auto gap = duration_cast<Clock::duration>((end - t0) / c.pairs);
  for (long k = w; k < c.pairs; k += workers) {
    const auto slot = t0 + k * gap;
    std::this_thread::sleep_until(slot);
    if (Clock::now() - slot > 50ms) ++r.late;
    const int device = static_cast<int>(rng() % static_cast<unsigned>(c.devices));
    const std::size_t holder = c.Holder(device);
    const std::size_t other = (holder + 1 + rng() % (c.Nodes() - 1)) % c.Nodes();
    const std::array<int, 2> fds{conns.Get(holder), conns.Get(other)};
    std::array<double, 2> ms{};
    std::array<char, 2> answer{'?', '?'};
    if (fds[0] >= 0 && fds[1] >= 0) Exchange2(fds, ApiRequest(c.Sn(device)), ms, answer, k % 2 == 1);
    if (answer[0] == '?') conns.Drop(holder);
    if (answer[1] == '?') conns.Drop(other);
    r.pairLocal.Add(ms[0], answer[0]);
    r.pairRemote.Add(ms[1], answer[1]);
    if (answer[0] != '1' || answer[1] != '1') continue;
    if (std::abs(ms[1] - ms[0]) > 1000) {
      ++r.splitPairs;  // a heartbeat came between the two texts: not the hop's cost
      continue;
    }
    r.pairDiff.Add(ms[1] - ms[0], '1');
  }
}

// GET `target` on a kept-alive Beast stream to the management port `port`.
class AdminClient {
 public:
  explicit AdminClient(std::uint16_t port) : port_(port), stream_(io_) {}
  // The latency in ms, or a negative number when no 200 came.
  double Get(const std::string& target) {
    beast::error_code ec;
    if (!connected_) {
      stream_.connect({boost::asio::ip::make_address("127.0.0.1"), port_}, ec);
      if (ec) return -1;
      stream_.socket().set_option(boost::asio::ip::tcp::no_delay(true), ec);
      connected_ = true;
    }
    http::request<http::empty_body> req(http::verb::get, target, 11);
    req.set(http::field::host, "127.0.0.1");
    http::response_parser<http::string_body> res;
    const auto t0 = Clock::now();
    http::write(stream_, req, ec);
    if (!ec) http::read(stream_, buffer_, res, ec);
    const double ms = Ms(Clock::now() - t0);
    if (ec || !res.get().keep_alive()) {
      beast::error_code ignored;
      stream_.socket().close(ignored);  // the next Get connects again
      buffer_.clear();
      connected_ = false;
    }
    return !ec && res.is_done() && res.get().result_int() == 200 ? ms : -1;
  }

 private:
  std::uint16_t port_;
  boost::asio::io_context io_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  bool connected_ = false;
};

// 3: `count` GETs through the holder and through another node, alternating
// which goes first, spread evenly over the window.
void DeviceGets(const Config& c, Clock::time_point t0, Clock::time_point end, Results& r) {
  std::mt19937 rng(9000u);
  std::vector<std::unique_ptr<AdminClient>> clients;
  for (std::uint16_t port : c.admin) clients.push_back(std::make_unique<AdminClient>(port));
  const auto gap = duration_cast<Clock::duration>((end - t0) / c.pairs);
  for (long k = 0; k < c.pairs; ++k) {
    std::this_thread::sleep_until(t0 + k * gap + gap / 2);
    const int device = static_cast<int>(rng() % static_cast<unsigned>(c.devices));
    const std::size_t holder = c.Holder(device);
    const std::size_t other = (holder + 1 + rng() % (c.Nodes() - 1)) % c.Nodes();
    const std::string target = "/v1/devices/" + c.Sn(device);
    for (int i = 0; i < 2; ++i) {
      const bool local = (i == 0) == (k % 2 == 0);
      const double ms = clients[local ? holder : other]->Get(target);
      (local ? r.getLocal : r.getRemote).Add(ms, ms < 0 ? '?' : '1');
    }
  }
}

std::vector<std::uint16_t> Ports(const std::string& list) {
  std::vector<std::uint16_t> out;
  std::stringstream in(list);
  std::string one;
  while (std::getline(in, one, ',')) out.push_back(static_cast<std::uint16_t>(std::atoi(one.c_str())));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) {
    std::fprintf(stderr, "usage: %s SECONDS DEVICES RATE PAIRS HTTP-PORTS ADMIN-PORTS [SN-PREFIX=2023]\n", argv[0]);
    return 2;
  }
  Config c;
  c.seconds = std::atof(argv[1]);
  c.devices = std::atoi(argv[2]);
  c.rate = std::atof(argv[3]);
  c.pairs = std::atoi(argv[4]);
  c.http = Ports(argv[5]);
  c.admin = Ports(argv[6]);
  if (argc > 7) c.sims.snPrefix = argv[7];
  if (c.devices <= 0 || c.rate <= 0 || c.pairs <= 0 || c.http.size() < 2 || c.admin.size() != c.http.size()) {
    std::fprintf(stderr, "cluster_load: at least two nodes, as many HTTP as management ports\n");
    return 2;
  }

  Results r;
  const auto t0 = Clock::now() + 100ms;
  const auto end = t0 + duration_cast<Clock::duration>(duration<double>(c.seconds));
  // Enough workers that each is free again before its next slot (a command
  // waits up to one heartbeat, a pair as well).
  const int commandWorkers = std::max(1, static_cast<int>(c.rate * 3));
  const int pairWorkers = std::max(1, std::min(c.pairs, static_cast<int>(3 * c.pairs / c.seconds) + 1));
  std::vector<std::thread> threads;
  for (int w = 0; w < commandWorkers; ++w) {
    threads.emplace_back([&, w] { RandomCommands(c, w, commandWorkers, t0, end, r); });
  }
  for (int w = 0; w < pairWorkers; ++w) threads.emplace_back([&, w] { Pairs(c, w, pairWorkers, t0, end, r); });
  threads.emplace_back([&] { DeviceGets(c, t0, end, r); });
  for (auto& t : threads) t.join();
  const double elapsed = Ms(Clock::now() - t0) / 1000;

  std::printf("| measure | requests | p50 | p99 | max | answers 1 / 2 / 0 / failed |\n"
              "|---|---|---|---|---|---|\n");
  std::printf("| /api/cmd, random device through a random node (%.0f/s) %s %s |\n", c.rate, r.all.Cells().c_str(),
              r.all.ApiAnswers().c_str());
  std::printf("| &nbsp;&nbsp;of which through the holding node %s %s |\n", r.viaHolder.Cells().c_str(),
              r.viaHolder.ApiAnswers().c_str());
  std::printf("| &nbsp;&nbsp;of which forwarded by another node %s %s |\n", r.forwarded.Cells().c_str(),
              r.forwarded.ApiAnswers().c_str());
  std::printf("| pairs: /api/cmd through the holding node %s %s |\n", r.pairLocal.Cells().c_str(),
              r.pairLocal.ApiAnswers().c_str());
  std::printf("| pairs: the same, same moment, through another node %s %s |\n", r.pairRemote.Cells().c_str(),
              r.pairRemote.ApiAnswers().c_str());
  std::printf("| **forwarding: other node − holder, per pair** %s left out: %ld (a heartbeat came between "
              "the two) |\n",
              r.pairDiff.Cells().c_str(), r.splitPairs.load());
  std::printf("| GET /v1/devices/{sn} through the holding node %s %ld failed |\n", r.getLocal.Cells().c_str(),
              r.getLocal.answers[3]);
  std::printf("| GET /v1/devices/{sn} through another node %s %ld failed |\n", r.getRemote.Cells().c_str(),
              r.getRemote.answers[3]);
  std::fflush(stdout);

  const long sent = r.all.Count() + r.pairLocal.Count() + r.pairRemote.Count();
  const long ones = r.all.answers[1] + r.pairLocal.answers[1] + r.pairRemote.answers[1];
  std::fprintf(stderr,
               "cluster_load: %.1f s, %ld /api/cmd (%ld answered 1), %ld GETs (%ld failed), %ld split pairs, %ld "
               "sent late\n",
               elapsed, sent, ones, r.getLocal.Count() + r.getRemote.Count(),
               r.getLocal.answers[3] + r.getRemote.answers[3], r.splitPairs.load(), r.late.load());
  return 0;
}
