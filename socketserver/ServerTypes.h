// Types shared by the device server and its owner: the accepted-connection
// record, device rows, event callbacks, window message numbers and timings.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/Socket.h"

namespace velmo {

using Socket = int;  // a POSIX descriptor; printed as its decimal value

// Handed from the accept thread to the window thread for each new connection.
struct AcceptInfo {
  platform::Ipv4SockAddr address;  // the peer, as accept() returned it
  Socket socket = platform::kInvalidSocket;
};

// One row of the device list: two 260-byte NUL-terminated texts.
struct DeviceRow {
  char sn[260] = {};
  char address[260] = {};
};

// Close reasons reported through OnSocketDisconnect.
enum SocketCloseReason : int {
  kClosePeer = 0,        // the peer closed or reset, or stayed silent too long
  kCloseSendFailed = 1,  // a send on the connection failed
  kCloseRecvFailed = 2,  // recv failed
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
// Velmo's own addition: why a connection was refused (out of descriptors, no
// thread left); called on the window thread.
using OnNoticeFn = void (*)(void* user, const char* text);

// The callbacks a connection takes over from the server when it is created.
struct ConnectionCallbacks {
  OnSocketDisconnectFn onSocketDisconnect = nullptr;
  OnRecvDataFn onRecvData = nullptr;
  OnRecvFileRequestFn onRecvFileRequest = nullptr;
  OnRecvFileProgressFn onRecvFileProgress = nullptr;
  OnRecvFileSuccFn onRecvFileSucc = nullptr;
  OnRecvFileFailFn onRecvFileFail = nullptr;
};

// Window messages through which worker threads report to the window thread.
enum WindowMessage : std::uint32_t {
  WM_NEW_CONNECTION = 2024,      // listener: wParam = AcceptInfo*, lParam = CAcceptSocket*
  WM_ACCEPT_ERROR = 2025,        // listener: accept failed, the accept thread has ended
  WM_CLOSE_PEER = 2026,          // connection: close with reason 0
  WM_CLOSE_SEND_FAILED = 2027,   // connection: close with reason 1
  WM_CLOSE_RECV_ERROR = 2028,    // connection: close with reason 2
  WM_FILE_REQUEST = 2029,        // protocol object: upload requested
  WM_FILE_PROGRESS = 2030,       // protocol object: upload progress
  WM_FILE_FAIL = 2031,           // protocol object: transfer failed, reason 6
  WM_FILE_FAIL_DEVICE = 2032,    // protocol object: upload ended by the device, reason 5
  WM_FILE_WRITE_FAILED = 2033,   // protocol object: upload write failed, reason 6
  WM_FILE_SUCCESS = 2034,        // protocol object: upload complete
  WM_FILE_DOWNLOAD_OPEN = 2035,  // protocol object: download opened
  WM_HEARTBEAT = 2036,           // protocol object: heartbeat received
  WM_ACCEPT_REFUSED = 2037,      // listener: a connection was refused; wParam = errno
};

// Timings of the device server. The defaults are Velmo's designed values; tests
// shorten them so that idle time-outs and retries do not take minutes.
struct ServerTimings {
  // Length of one idle-counting tick of the monitor (the idle limits count ticks).
  std::chrono::milliseconds idleTick{1000};
  // Wait between two posts while the window thread's queue is full.
  std::chrono::milliseconds postRetry{1000};
  // Back-off of the accept thread while the process is out of descriptors.
  std::chrono::milliseconds acceptBackoff{100};
  // Bound of each stage of a relay's wait for a device (text taken, record sent).
  std::chrono::milliseconds deviceWait{5000};
};

inline constexpr int kThreadPriorityAboveNormal = 1;
inline constexpr int kThreadPriorityBelowNormal = -1;
inline constexpr int kInitialIdleLimitSeconds = 60;
inline constexpr int kHeartbeatIdleLimitSeconds = 5;

}  // namespace velmo
