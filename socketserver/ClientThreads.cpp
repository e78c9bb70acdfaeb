#include "socketserver/ClientThreads.h"

#include <cerrno>

#include "platform/Socket.h"
#include "socketserver/ClientProtocol.h"
#include "socketserver/ClientRegistry.h"
#include "socketserver/ServerClientSocket.h"

namespace velmo {

namespace {
constexpr std::size_t kRecvBufferBytes = 32768;
constexpr std::size_t kMonitorStackBytes = 64 * 1024;
}  // namespace

CServerClientSocketRecvThread::CServerClientSocketRecvThread(CServerClientSocket& owner, int priority)
    : CThread(priority, CThread::kDefaultStackBytes), owner_(owner) {}

void CServerClientSocketRecvThread::Run() {
  std::uint8_t buffer[kRecvBufferBytes];
  const int fd = owner_.GetSocket();
  while (!IsStopRequested()) {
    int err = 0;
    long n = platform::Recv(fd, buffer, sizeof buffer, &err);
    if (n < 0 && platform::IsConnectionReset(err)) {
      owner_.PostClose(WM_CLOSE_PEER);
      return;
    }
    if (n < 0) {
      owner_.PostClose(WM_CLOSE_RECV_ERROR);
      // Keep receiving until the teardown stops us, but do not spin on an error
      // that repeats at once.
      StopFlag().WaitFor(std::chrono::milliseconds(100));
      continue;
    }
    if (n == 0) {
      owner_.PostClose(WM_CLOSE_PEER);
      return;
    }
    owner_.Protocol().OnReceived(buffer, static_cast<int>(n));
  }
}

CConnectionMonitor::CConnectionMonitor(const void* server, std::chrono::milliseconds tick)
    : CThread(kThreadPriorityBelowNormal, kMonitorStackBytes), server_(server), tick_(tick) {}

void CConnectionMonitor::Run() {
  while (!IsStopRequested()) {
    for (const auto& connection : CClientRegistry::Process().Snapshot()) {
      if (connection->Owner() == server_) connection->MonitorTick();
    }
    StopFlag().WaitFor(tick_);
  }
}

}  // namespace velmo
