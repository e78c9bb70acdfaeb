#include "fuzz/ProtocolHarness.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "protocol/DeviceProtocol.h"

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
  worker_.Thread().AdoptCurrentThread();
  env_ = std::make_shared<CConnectionEnv>(loop_, 0, files_.ContextRef(), registry_, counters_, events_);
  reach_ = std::make_shared<CDeviceReach>(registry_, counters_, std::chrono::milliseconds(0));
  char dir[] = "/tmp/velmo-fuzz-XXXXXX";
  dir_ = mkdtemp(dir);
  dir_ += "/";
}

CProtocolHarness::~CProtocolHarness() {
  std::string command = "rm -rf '" + dir_ + "'";
  int rc = std::system(command.c_str());
  (void)rc;
}

void CProtocolHarness::Settle() {
  for (int round = 0; round < 1000; ++round) {
    std::size_t handled = 0;
    worker_.Context().restart();
    handled += worker_.Context().poll();
    files_.Context().restart();
    handled += files_.Context().poll();
    std::size_t messages = 0;
    loop_.ProcessPending(&messages);
    if (handled + messages == 0) return;
  }
}

void CProtocolHarness::Run(const std::uint8_t* bytes, std::size_t size) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
  auto settings = std::make_shared<ConnectionSettings>();
  std::memcpy(settings->fileDir, dir_.c_str(), dir_.size() + 1);
  settings->sendTimeoutMs = 1;
  settings->progressIntervalMs = 0;
  settings->timings.deviceWait = std::chrono::milliseconds(0);
  settings->timings.postRetry = std::chrono::milliseconds(0);
  auto conn = std::make_shared<CServerClientSocket>(env_, settings, worker_);
  auto info = std::make_unique<AcceptInfo>();
  info->socket = pair[0];
  conn->TakeAcceptInfo(std::move(info));
  ProtocolSettings protocol;
  protocol.ledFilePath = dir_ + "weather.htm";
  protocol.reach = reach_;
  if (!conn->Setup(MakeProtocolFactory(protocol))) {
    conn->Close();
    Settle();
    close(pair[1]);
    return;
  }
  registry_.Append(conn);

  std::size_t cuts[2] = {size, size};
  if (size >= 2) {
    cuts[0] = std::min<std::size_t>(bytes[0] * size / 256, size);
    cuts[1] = std::max(cuts[0], std::min<std::size_t>(bytes[1] * size / 256 + cuts[0], size));
  }
  std::size_t from = 0;
  for (std::size_t to : {cuts[0], cuts[1], size}) {
    if (to > from) {
      conn->Feed(bytes + from, static_cast<int>(to - from));  // as if read from the socket
      Settle();  // heartbeat replies, relays, transfer steps, close reports
      Drain(pair[1]);
    }
    from = to;
  }
  registry_.RemoveByPointer(conn.get());
  conn->Close();
  Settle();
  close(pair[1]);
}

}  // namespace velmo::fuzz
