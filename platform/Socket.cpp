#include "platform/Socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace velmo::platform {

namespace {
std::string Fail(const char* call, int err) { return std::string(call) + ": " + ErrorText(err); }
}  // namespace

int OpenListener(const char* bindAddress, std::uint16_t port, std::string* error, bool nonBlocking) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
  if (fd < 0) {
    if (error) *error = Fail("socket", errno);
    return kInvalidSocket;
  }
  int one = 1;
  // Lets "start listening" bind again while connections accepted earlier live on.
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bindAddress != nullptr && bindAddress[0] != '\0') {
    in_addr parsed{};
    if (inet_pton(AF_INET, bindAddress, &parsed) == 1 && parsed.s_addr != INADDR_NONE) addr.sin_addr = parsed;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (error) *error = Fail("bind", errno);
    close(fd);
    return kInvalidSocket;
  }
  if (listen(fd, SOMAXCONN) != 0) {
    if (error) *error = Fail("listen", errno);
    close(fd);
    return kInvalidSocket;
  }
  return fd;
}

AcceptStatus Accept(int listenFd, int* fd, Ipv4SockAddr* peer, int* err) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  int s = accept4(listenFd, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (s >= 0) {
    *fd = s;
    peer->family = addr.sin_family;
    peer->portNet = addr.sin_port;
    peer->addrNet = addr.sin_addr.s_addr;
    std::memset(peer->zero, 0, sizeof peer->zero);
    return AcceptStatus::Ok;
  }
  int e = errno;
  if (err) *err = e;
  switch (e) {
    case EAGAIN:
      return AcceptStatus::WouldBlock;
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return AcceptStatus::Exhausted;
    case EBADF:
    case EINVAL:
    case ENOTSOCK:
    case EFAULT:
    case EOPNOTSUPP:
      return AcceptStatus::Fatal;
    default:  // ECONNABORTED, EINTR, EPROTO, EPERM and the network errors
      return AcceptStatus::Transient;
  }
}

bool SetNoDelay(int fd) {
  int one = 1;
  return setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

void CloseSocket(int fd) {
  if (fd >= 0) close(fd);
}

std::string Ipv4Text(std::uint32_t addrNet) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr a{};
  a.s_addr = addrNet;
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

std::uint16_t NetToHost16(std::uint16_t v) { return ntohs(v); }

bool IsConnectionReset(int err) { return err == ECONNRESET; }

std::string ErrorText(int err) {
  char buf[128];
  return strerror_r(err, buf, sizeof buf);
}

bool AcceptPending(int listenFd) {
  pollfd p{listenFd, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

int OpenSpareDescriptor() { return open("/dev/null", O_RDONLY | O_CLOEXEC); }

std::uint16_t LocalPort(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

}  // namespace velmo::platform
