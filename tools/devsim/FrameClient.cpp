#include "tools/devsim/FrameClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velmo::devsim {

CFrameClient::~CFrameClient() {
  if (fd_ >= 0) close(fd_);
}

bool CFrameClient::Connect(const std::string& host, std::uint16_t port, std::string* error) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) {
      *error = "cannot resolve '" + host + "'";
      return false;
    }
    sa.sin_addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
    freeaddrinfo(res);
  }
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    *error = "connect to " + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
    return false;
  }
  int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return true;
}

bool CFrameClient::SendFrame(std::string_view payload) {
  char header[8];
  std::snprintf(header, sizeof header, "@%05zu", payload.size());
  out_.assign(header);
  out_.append(payload);
  std::size_t off = 0;
  while (off < out_.size()) {
    // Read what the server sent meanwhile (acknowledgements) so neither side
    // ever blocks on a full buffer.
    pollfd p{fd_, POLLIN | POLLOUT, 0};
    if (poll(&p, 1, 15000) <= 0) return false;
    if (p.revents & POLLIN) {
      char buffer[65536];
      ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n == 0) return false;
      if (n > 0) in_.append(buffer, static_cast<std::size_t>(n));
    }
    if (p.revents & POLLOUT) {
      ssize_t n = send(fd_, out_.data() + off, out_.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
      if (n > 0) off += static_cast<std::size_t>(n);
    }
    if (p.revents & (POLLERR | POLLHUP)) return false;
  }
  return true;
}

std::optional<std::string> CFrameClient::TakeFrame() {
  auto at = in_.find('@');
  if (at == std::string::npos) {
    in_.clear();
    return std::nullopt;
  }
  if (in_.size() < at + 6) return std::nullopt;
  std::size_t length = static_cast<std::size_t>(std::atoi(in_.substr(at + 1, 5).c_str()));
  if (in_.size() < at + 6 + length) return std::nullopt;
  std::string payload = in_.substr(at + 6, length);
  in_.erase(0, at + 6 + length);
  return payload;
}

std::optional<std::string> CFrameClient::ReadFrame(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (auto frame = TakeFrame()) return frame;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
    char buffer[65536];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return std::nullopt;
    in_.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace velmo::devsim
