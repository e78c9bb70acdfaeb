#include "tools/devsim/Simulator.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/TextCodec.h"
#include "protocol/DeviceInfoRecord.h"

namespace velmo::devsim {

namespace {

DeviceInfo PlausibleInfo(int index) {
  DeviceInfo info;
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  std::uint16_t rt[6] = {static_cast<std::uint16_t>(tm.tm_year + 1900), static_cast<std::uint16_t>(tm.tm_mon + 1),
                         static_cast<std::uint16_t>(tm.tm_mday),         static_cast<std::uint16_t>(tm.tm_hour),
                         static_cast<std::uint16_t>(tm.tm_min),          static_cast<std::uint16_t>(tm.tm_sec)};
  std::copy(rt, rt + 6, info.runtime);
  std::uint16_t mac[6] = {0x02, 0x56, 0x4D, static_cast<std::uint16_t>((index >> 16) & 0xFF),
                          static_cast<std::uint16_t>((index >> 8) & 0xFF), static_cast<std::uint16_t>(index & 0xFF)};
  std::copy(mac, mac + 6, info.mac);
  info.version[0] = 1;
  info.version[1] = 2;
  info.version[2] = 3;
  info.ip[0] = 10;
  info.ip[1] = static_cast<std::uint8_t>((index >> 16) & 0xFF);
  info.ip[2] = static_cast<std::uint8_t>((index >> 8) & 0xFF);
  info.ip[3] = static_cast<std::uint8_t>(index & 0xFF);
  return info;
}

}  // namespace

CSimulator::CSimulator(const Options& options, std::FILE* out)
    : options_(options),
      out_(out),
      interval_(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.heartbeatSeconds))) {}

CSimulator::~CSimulator() {
  for (auto& d : devices_) {
    if (d.fd >= 0) close(d.fd);
  }
  if (epoll_ >= 0) close(epoll_);
}

void CSimulator::Finish() {
  stats_.silent = 0;
  for (const auto& d : devices_) {
    if (d.state == State::Connected && !d.answered) ++stats_.silent;
  }
}

std::string CSimulator::Summary() const {
  char text[320];
  std::snprintf(text, sizeof text,
                "velmo-devsim: %d devices: %d connected, %d could not connect, %d disconnected by the server; "
                "%ld heartbeats sent, %ld commands received, %ld records sent, %d never answered",
                options_.devices, stats_.connected, stats_.connectFailed, stats_.disconnected, stats_.heartbeats,
                stats_.commands, stats_.records, stats_.silent);
  std::string summary = text;
  if (options_.reconnect) summary += "; " + std::to_string(stats_.reconnects) + " reconnects";
  return summary;
}

bool CSimulator::Run(const std::atomic<bool>& stop) {
  std::vector<Options::Server> servers = options_.servers;
  if (servers.empty()) servers.push_back({options_.host, options_.port});
  for (const auto& server : servers) {
    in_addr addr{};
    if (inet_pton(AF_INET, server.host.c_str(), &addr) != 1) {
      addrinfo hints{};
      hints.ai_family = AF_INET;
      addrinfo* res = nullptr;
      if (getaddrinfo(server.host.c_str(), nullptr, &hints, &res) != 0 || !res) {
        std::fprintf(stderr, "velmo-devsim: cannot resolve '%s'\n", server.host.c_str());
        return false;
      }
      addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
      freeaddrinfo(res);
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(server.port);
    sa.sin_addr = addr;
    servers_.push_back(sa);
  }
  epoll_ = epoll_create1(EPOLL_CLOEXEC);
  if (epoll_ < 0) {
    std::fprintf(stderr, "velmo-devsim: epoll_create1: %s\n", std::strerror(errno));
    return false;
  }
  devices_.resize(static_cast<std::size_t>(options_.devices));
  for (int i = 0; i < options_.devices; ++i) {
    Device& d = devices_[static_cast<std::size_t>(i)];
    d.sn = DeviceSn(options_, i);
    d.server = static_cast<std::size_t>(i) % servers_.size();
  }

  const auto start = Clock::now();
  const auto end = options_.durationSeconds > 0
                       ? start + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(options_.durationSeconds))
                       : Clock::time_point::max();
  const auto connectGap = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / options_.connectRate));
  int nextConnect = 0;
  std::vector<epoll_event> events(1024);

  while (!stop.load() && Clock::now() < end) {
    auto now = Clock::now();
    while (nextConnect < options_.devices && start + nextConnect * connectGap <= now) StartConnect(nextConnect++);
    while (!reconnects_.empty() && reconnects_.top().when <= now) {
      const int index = reconnects_.top().device;
      reconnects_.pop();
      ++stats_.reconnects;
      StartConnect(index);
    }
    while (!heartbeats_.empty() && heartbeats_.top().when <= now) {
      Due due = heartbeats_.top();
      heartbeats_.pop();
      const Device& d = devices_[static_cast<std::size_t>(due.device)];
      if (d.state != State::Connected || d.connection != due.connection) continue;
      SendFrame(due.device, "-36" + d.sn);
      ++stats_.heartbeats;
      heartbeats_.push(Due{due.when + interval_, due.device, due.connection});
    }
    auto wake = end;
    if (!heartbeats_.empty()) wake = std::min(wake, heartbeats_.top().when);
    if (nextConnect < options_.devices) wake = std::min(wake, start + nextConnect * connectGap);
    if (!reconnects_.empty()) wake = std::min(wake, reconnects_.top().when);
    // Rounded up: a heartbeat due in under a millisecond is waited for, not spun on.
    auto waitMs = std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now()).count();
    int timeout = static_cast<int>(std::clamp<long long>(waitMs, 0, 200));  // wakes for `stop` too
    int n = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), timeout);
    for (int i = 0; i < n; ++i) OnEvent(static_cast<int>(events[static_cast<std::size_t>(i)].data.u32), events[static_cast<std::size_t>(i)].events);
  }
  return true;
}

void CSimulator::StartConnect(int index) {
  Device& d = devices_[static_cast<std::size_t>(index)];
  d.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (d.fd < 0) {
    ++stats_.connectFailed;
    d.state = State::Gone;
    std::fprintf(stderr, "velmo-devsim: %s: socket: %s\n", d.sn.c_str(), std::strerror(errno));
    return;
  }
  int one = 1;
  setsockopt(d.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  const sockaddr_in& sa = servers_[d.server];
  int rc = connect(d.fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  if (rc != 0 && errno != EINPROGRESS) {
    ++stats_.connectFailed;
    std::fprintf(stderr, "velmo-devsim: %s: connect: %s\n", d.sn.c_str(), std::strerror(errno));
    close(d.fd);
    d.fd = -1;
    d.state = State::Gone;
    TryAgainLater(index);
    return;
  }
  d.state = State::Connecting;
  epoll_event ev{};
  ev.events = EPOLLOUT | EPOLLIN;
  ev.data.u32 = static_cast<std::uint32_t>(index);
  epoll_ctl(epoll_, EPOLL_CTL_ADD, d.fd, &ev);
}

void CSimulator::OnEvent(int index, std::uint32_t events) {
  Device& d = devices_[static_cast<std::size_t>(index)];
  if (d.state == State::Connecting) {
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(d.fd, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
      ++stats_.connectFailed;
      std::fprintf(stderr, "velmo-devsim: %s: connect: %s\n", d.sn.c_str(), std::strerror(err));
      epoll_ctl(epoll_, EPOLL_CTL_DEL, d.fd, nullptr);
      close(d.fd);
      d.fd = -1;
      d.state = State::Gone;
      TryAgainLater(index);
      return;
    }
    if (events & (EPOLLOUT | EPOLLIN)) OnConnected(index);
    if (d.state != State::Connected) return;
  }
  if (d.state != State::Connected) return;
  if (events & EPOLLOUT) Flush(index);
  if (d.state == State::Connected && (events & (EPOLLIN | EPOLLHUP | EPOLLERR))) OnReadable(index);
}

void CSimulator::OnConnected(int index) {
  Device& d = devices_[static_cast<std::size_t>(index)];
  d.state = State::Connected;
  ++d.connection;
  ++stats_.connected;
  SendFrame(index, "-36" + d.sn);  // registers the SN
  ++stats_.heartbeats;
  heartbeats_.push(Due{Clock::now() + interval_, index, d.connection});
  UpdateInterest(index);
}

void CSimulator::OnReadable(int index) {
  Device& d = devices_[static_cast<std::size_t>(index)];
  char buffer[65536];
  for (;;) {
    ssize_t n = recv(d.fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      d.in.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n < 0 && errno == EINTR) continue;
    Drop(index, true);
    return;
  }
  std::size_t off = 0;
  while (d.in.size() - off >= 6) {
    if (d.in[off] != '@') {
      auto at = d.in.find('@', off);
      off = at == std::string::npos ? d.in.size() : at;
      continue;
    }
    int length = std::atoi(d.in.substr(off + 1, 5).c_str());
    if (length < 0) {
      ++off;
      continue;
    }
    if (d.in.size() - off < 6 + static_cast<std::size_t>(length)) break;
    std::string payload = d.in.substr(off + 6, static_cast<std::size_t>(length));
    off += 6 + static_cast<std::size_t>(length);
    OnFrame(index, payload);
    if (d.state != State::Connected) return;
  }
  d.in.erase(0, off);
}

void CSimulator::OnFrame(int index, const std::string& payload) {
  Device& d = devices_[static_cast<std::size_t>(index)];
  d.answered = true;
  if (payload.compare(0, 3, "-37") != 0) {
    if (!options_.quiet) std::fprintf(out_, "%s: frame %s\n", d.sn.c_str(), GbkToUtf8(payload).c_str());
    return;
  }
  ++stats_.commands;
  std::string text = payload.substr(3);
  std::size_t start = 0;
  bool query = false;
  while (start < text.size()) {
    std::size_t nl = text.find('\n', start);
    std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    if (!options_.quiet) std::fprintf(out_, "%s: %s\n", d.sn.c_str(), GbkToUtf8(line).c_str());
    if (line == "query dev_infos") query = true;
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  if (!options_.quiet) std::fflush(out_);
  if (query) {
    std::string snField = d.sn.substr(0, 24);
    snField.resize(24, '\0');
    SendFrame(index, "-58" + snField + EncodeDeviceInfo(PlausibleInfo(index)));
    ++stats_.records;
  }
}

void CSimulator::SendFrame(int index, const std::string& payload) {
  Device& d = devices_[static_cast<std::size_t>(index)];
  char header[8];
  std::snprintf(header, sizeof header, "@%05zu", payload.size());
  d.out.append(header);
  d.out.append(payload);
  Flush(index);
}

void CSimulator::Flush(int index) {
  Device& d = devices_[static_cast<std::size_t>(index)];
  while (!d.out.empty()) {
    ssize_t n = send(d.fd, d.out.data(), d.out.size(), MSG_NOSIGNAL);
    if (n > 0) {
      d.out.erase(0, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    Drop(index, true);
    return;
  }
  UpdateInterest(index);
}

void CSimulator::UpdateInterest(int index) {
  Device& d = devices_[static_cast<std::size_t>(index)];
  if (d.state != State::Connected) return;
  epoll_event ev{};
  ev.events = EPOLLIN | (d.out.empty() ? 0u : static_cast<std::uint32_t>(EPOLLOUT));
  ev.data.u32 = static_cast<std::uint32_t>(index);
  epoll_ctl(epoll_, EPOLL_CTL_MOD, d.fd, &ev);
}

void CSimulator::Drop(int index, bool byServer) {
  Device& d = devices_[static_cast<std::size_t>(index)];
  if (d.state == State::Gone) return;
  if (byServer) {
    ++stats_.disconnected;
    std::fprintf(out_, "%s: disconnected by the server\n", d.sn.c_str());
    std::fflush(out_);
  }
  epoll_ctl(epoll_, EPOLL_CTL_DEL, d.fd, nullptr);
  close(d.fd);
  d.fd = -1;
  d.state = State::Gone;
  d.in.clear();
  d.out.clear();
  if (byServer) TryAgainLater(index);
}

void CSimulator::TryAgainLater(int index) {
  if (!options_.reconnect) return;
  Device& d = devices_[static_cast<std::size_t>(index)];
  d.server = (d.server + 1) % servers_.size();
  reconnects_.push(Due{Clock::now() + std::chrono::seconds(1), index});
}

}  // namespace velmo::devsim
