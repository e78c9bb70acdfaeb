#include "fuzz/ProtocolHarness.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "protocol/FileRecver.h"
#include "socketserver/ClientRegistry.h"

namespace velmo::fuzz {

namespace {
void Drain(int fd) {
  char buffer[65536];
  while (recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
  }
}
}  // namespace

CProtocolHarness::CProtocolHarness() {
  loop_.BindToCurrentThread();
  char dir[] = "/tmp/velmo-fuzz-XXXXXX";
  dir_ = mkdtemp(dir);
  dir_ += "/";
}

CProtocolHarness::~CProtocolHarness() {
  std::string command = "rm -rf '" + dir_ + "'";
  int rc = std::system(command.c_str());
  (void)rc;
}

void CProtocolHarness::Run(const std::uint8_t* bytes, std::size_t size) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
  ConnectionSettings settings;
  std::memcpy(settings.fileDir, dir_.c_str(), dir_.size() + 1);
  settings.sendTimeoutMs = 1;
  settings.progressIntervalMs = 0;
  settings.timings.deviceWait = std::chrono::milliseconds(0);
  settings.timings.postRetry = std::chrono::milliseconds(0);
  auto conn = std::make_shared<CServerClientSocket>(loop_, settings);
  auto info = std::make_unique<AcceptInfo>();
  info->socket = pair[0];
  conn->TakeAcceptInfo(std::move(info));
  ProtocolSettings protocol;
  protocol.ledFilePath = dir_ + "weather.htm";
  if (!conn->Setup(MakeProtocolFactory(protocol))) {
    conn->Close();
    close(pair[1]);
    return;
  }
  CClientRegistry::Process().Append(conn);

  std::size_t cuts[2] = {size, size};
  if (size >= 2) {
    cuts[0] = std::min<std::size_t>(bytes[0] * size / 256, size);
    cuts[1] = std::max(cuts[0], std::min<std::size_t>(bytes[1] * size / 256 + cuts[0], size));
  }
  std::size_t from = 0;
  for (std::size_t to : {cuts[0], cuts[1], size}) {
    if (to > from && CClientRegistry::Process().Size() > 0) {
      conn->Protocol().OnReceived(bytes + from, static_cast<int>(to - from));
      loop_.ProcessPending();  // heartbeat replies, transfer steps, close reports
      Drain(pair[1]);
    }
    from = to;
  }
  CClientRegistry::Process().RemoveByPointer(conn.get());
  conn->Close();
  loop_.ProcessPending();
  close(pair[1]);
}

}  // namespace velmo::fuzz
