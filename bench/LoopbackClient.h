// A loopback client for the benchmarks: plain sockets and the C++ library
// only (no Velmo code), so that a load client built from it runs against any
// velmo binary.
#pragma once

#include <cstdint>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velmo::bench {

// A connected TCP socket to 127.0.0.1:port with TCP_NODELAY, or -1.
inline int ConnectLoopback(std::uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// Sends `request` on the connected socket `fd` and reads one whole chunked
// reply. Returns the reply, or "" when sending failed, the peer closed first or
// nothing arrived for `timeoutMs` (-1: wait as long as it takes).
inline std::string HttpExchange(int fd, const std::string& request, int timeoutMs = -1) {
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) return "";
  std::string reply;
  char buf[512];
  while (reply.find("\r\n0\r\n\r\n") == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return "";
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return "";
    reply.append(buf, static_cast<std::size_t>(n));
  }
  return reply;
}

// Sends one "/api/cmd" for `sn` (body "led on") on the connected socket `fd`
// and reads the whole chunked reply. Returns the device_online_status digit
// ('0', '1' or '2'), or '?' when the reply did not come whole.
inline char ApiCmd(int fd, const std::string& sn) {
  std::string reply =
      HttpExchange(fd, "POST /api/cmd HTTP/1.1\r\nSN: " + sn + "\r\nContent-Length: 6\r\n\r\nled on");
  auto at = reply.find("device_online_status\": ");
  return at == std::string::npos ? '?' : reply[at + 23];
}

}  // namespace velmo::bench
