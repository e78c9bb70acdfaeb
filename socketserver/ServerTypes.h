// Types shared by the device server and its owner: the accepted-connection
// record, device rows, event callbacks, the window message numbers of the
// device server, timings and limits.
#pragma once

#include <string>

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "platform/Socket.h"

namespace velmo {

using Socket = int;  // a POSIX descriptor; printed as its decimal value

// Handed from the listener to the window thread for each new connection.
struct AcceptInfo {
  platform::Ipv4SockAddr address;  // the peer, as accept() returned it (or its PROXY header named it)
  Socket socket = platform::kInvalidSocket;
  // The peer's address as text when it is no IPv4 address (an IPv6 device
  // behind a load balancer); "" otherwise.
  std::string addressText;
};

// "a.b.c.d:port", or "[v6]:port" for a peer named by `addressText`.
inline std::string PeerText(const AcceptInfo& info) {
  const std::string port = std::to_string(platform::NetToHost16(info.address.portNet));
  if (!info.addressText.empty()) return "[" + info.addressText + "]:" + port;
  return platform::Ipv4Text(info.address.addrNet) + ":" + port;
}

// One row of the device list: two 260-byte NUL-terminated texts.
struct DeviceRow {
  char sn[260] = {};
  char address[260] = {};
};

// Close reasons reported through OnSocketDisconnect.
enum SocketCloseReason : int {
  kClosePeer = 0,        // the peer closed or reset, or stayed silent too long
  kCloseSendFailed = 1,  // a send on the connection failed, or the peer stopped reading
  kCloseRecvFailed = 2,  // a receive failed
};

// The nine event callbacks; the first argument is always the owner's user data.
using OnAcceptFn = void (*)(void* user, const AcceptInfo* info, int* accept);
using OnAcceptErrFn = void (*)(void* user, Socket listenSocket);
using OnSocketConnectFn = void (*)(void* user, Socket socket);
using OnSocketDisconnectFn = void (*)(void* user, Socket socket, int reason);
using OnRecvDataFn = void (*)(void* user, const char* data, int length);
using OnRecvFileRequestFn = void (*)(void* user, const char* path, int* accept);
using OnRecvFileProgressFn = void (*)(void* user, int done, int total);
using OnRecvFileSuccFn = void (*)(void* user, const char* path);
using OnRecvFileFailFn = void (*)(void* user, const char* path, int reason);
// Velmo's own addition: a notice for the operator (a connection refused, a
// file refused), one log line. May be called on any thread.
using OnNoticeFn = void (*)(void* user, const char* text);

// The callbacks a connection takes over from the server when it is created.
// OnRecvData and OnNotice may be called on any thread (they must not wait for
// the window thread); the others are called on the window thread.
struct ConnectionCallbacks {
  OnSocketDisconnectFn onSocketDisconnect = nullptr;
  OnRecvDataFn onRecvData = nullptr;
  OnRecvFileRequestFn onRecvFileRequest = nullptr;
  OnRecvFileProgressFn onRecvFileProgress = nullptr;
  OnRecvFileSuccFn onRecvFileSucc = nullptr;
  OnRecvFileFailFn onRecvFileFail = nullptr;
  OnNoticeFn onNotice = nullptr;
};

// Window messages of the device server (its listener and its close path).
enum ServerMessage : std::uint32_t {
  WM_NEW_CONNECTION = 2024,     // listener: wParam = AcceptInfo*
  WM_ACCEPT_ERROR = 2025,       // listener: accepting failed for good
  WM_CLOSE_PEER = 2026,         // close path: wParam = connection id; close with reason 0
  WM_CLOSE_SEND_FAILED = 2027,  // close path: close with reason 1
  WM_CLOSE_RECV_ERROR = 2028,   // close path: close with reason 2
  WM_ACCEPT_REFUSED = 2037,     // listener: a connection was refused; wParam = errno
  WM_PROXY_REFUSED = 2038,      // listener: no valid PROXY header; wParam = std::string* (the notice)
};

// Timings and limits of the device server. The defaults are Velmo's designed
// values; tests shorten them so that idle time-outs and retries do not take
// minutes.
struct ServerTimings {
  // Length of one idle-counting tick (the idle limits count ticks).
  std::chrono::milliseconds idleTick{1000};
  // Wait before posting again while the window thread's queue is full.
  std::chrono::milliseconds postRetry{1000};
  // Back-off of the listener while the process is out of descriptors.
  std::chrono::milliseconds acceptBackoff{100};
  // Bound of each stage of a wait for a device (text taken, record sent).
  std::chrono::milliseconds deviceWait{5000};
  // Bytes that may wait in one connection's output before it counts as a peer
  // that does not read: further frames are refused and queued text stays queued.
  std::size_t outputBound = 256 * 1024;
  // With the PROXY protocol: how long a new connection has to send its header.
  std::chrono::milliseconds proxyHeaderWait{5000};
};

inline constexpr int kThreadPriorityAboveNormal = 1;
inline constexpr int kThreadPriorityBelowNormal = -1;
inline constexpr int kInitialIdleLimitSeconds = 60;
inline constexpr int kHeartbeatIdleLimitSeconds = 5;

}  // namespace velmo
