// Thin POSIX socket helpers. Nothing outside platform/ includes the operating
// system's socket headers. Every helper returns a status; failures carry errno,
// and ErrorText() names it for log lines.
//
// Thread safety: the helpers keep no state; callers own their descriptors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmo::platform {

// An IPv4 socket address laid out like the 16-byte sockaddr_in: family, port and
// address in network byte order, eight zero bytes.
struct Ipv4SockAddr {
  std::uint16_t family = 0;
  std::uint16_t portNet = 0;
  std::uint32_t addrNet = 0;
  std::uint8_t zero[8] = {};
};
static_assert(sizeof(Ipv4SockAddr) == 16);

constexpr int kInvalidSocket = -1;

// Opens an IPv4 listening socket on bindAddress:port with SO_REUSEADDR and the
// system's maximum backlog; non-blocking when asked. bindAddress "" (or
// anything that is not a dotted IPv4 address) means all interfaces. Returns the
// descriptor, or -1 with `error` naming the failing call ("bind: Address
// already in use").
int OpenListener(const char* bindAddress, std::uint16_t port, std::string* error, bool nonBlocking = false);

enum class AcceptStatus {
  Ok,          // *fd is the new connection (non-blocking, close-on-exec)
  WouldBlock,  // nobody waits to be accepted (a non-blocking listener)
  Transient,   // the attempt failed but the listener is fine: try again
  Exhausted,   // out of descriptors or memory: back off, then try again
  Fatal,       // the listening socket is unusable (closed, shut down, not a socket)
};
AcceptStatus Accept(int listenFd, int* fd, Ipv4SockAddr* peer, int* err);

bool SetNoDelay(int fd);
void CloseSocket(int fd);

std::string Ipv4Text(std::uint32_t addrNet);  // dotted decimal
std::uint16_t NetToHost16(std::uint16_t v);
bool IsConnectionReset(int err);
std::string ErrorText(int err);

// True when a connection waits to be accepted on the listening socket (no wait).
bool AcceptPending(int listenFd);

// A descriptor held in reserve (on /dev/null); -1 when none could be opened.
int OpenSpareDescriptor();

// Port of a bound socket in host order (0 when unknown); used to listen on port 0.
std::uint16_t LocalPort(int fd);

}  // namespace velmo::platform
