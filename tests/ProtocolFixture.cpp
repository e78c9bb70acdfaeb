#include "tests/ProtocolFixture.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "protocol/DeviceProtocol.h"

namespace velmo::test {

CProtocolFixture::CProtocolFixture(ReachTimings reach) {
  loop_.BindToCurrentThread();
  worker_.Thread().AdoptCurrentThread();
  home_.AdoptCurrentThread();
  env_ = std::make_shared<CConnectionEnv>(loop_, 0, files_.ContextRef(), registry_, counters_, events_);
  reach_ = std::make_shared<CDeviceReach>(registry_, counters_, reach);
  char dir[] = "/tmp/velmo-protocol-XXXXXX";
  dir_ = mkdtemp(dir);
  dir_ += "/";
  auto settings = std::make_shared<ConnectionSettings>();
  std::memcpy(settings->fileDir, dir_.c_str(), dir_.size() + 1);
  settings->sendTimeoutMs = 1;
  settings->progressIntervalMs = 0;
  settings->timings.deviceWait = reach.stage;
  settings->timings.postRetry = std::chrono::milliseconds(0);
  settings_ = std::move(settings);
}

CProtocolFixture::~CProtocolFixture() {
  while (auto conn = registry_.RemoveFirst()) conn->Close();
  Settle();
  std::string command = "rm -rf '" + dir_ + "'";
  int rc = std::system(command.c_str());
  (void)rc;
}

CProtocolFixture::Device CProtocolFixture::Connect() {
  Device d;
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return d;
  fcntl(pair[1], F_SETFL, fcntl(pair[1], F_GETFL) | O_NONBLOCK);
  d.peer = pair[1];
  auto conn = std::make_shared<CServerClientSocket>(env_, settings_, worker_);
  auto info = std::make_unique<AcceptInfo>();
  info->socket = pair[0];
  conn->TakeAcceptInfo(std::move(info));
  ProtocolSettings protocol;
  protocol.ledFilePath = dir_ + "weather.htm";
  protocol.reach = reach_;
  if (!conn->Setup(MakeProtocolFactory(protocol))) {
    conn->Close();
    Settle();
    return d;
  }
  registry_.Append(conn);
  d.conn = std::move(conn);
  return d;
}

void CProtocolFixture::Feed(const Device& d, std::string_view bytes) {
  d.conn->Feed(reinterpret_cast<const std::uint8_t*>(bytes.data()), static_cast<int>(bytes.size()));
}

std::string CProtocolFixture::Received(const Device& d) {
  std::string out;
  char buffer[65536];
  for (ssize_t n; (n = recv(d.peer, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) out.append(buffer, static_cast<std::size_t>(n));
  return out;
}

void CProtocolFixture::Close(Device& d) {
  if (d.conn) {
    registry_.RemoveByPointer(d.conn.get());
    d.conn->Close();
  }
  Settle();
  if (d.peer >= 0) close(d.peer);
  d.peer = -1;
  d.conn.reset();
}

std::size_t CProtocolFixture::RunDevicesOnce() {
  std::size_t handled = 0;
  worker_.Context().restart();
  handled += worker_.Context().poll();
  files_.Context().restart();
  handled += files_.Context().poll();
  std::size_t messages = 0;
  loop_.ProcessPending(&messages);
  return handled + messages;
}

void CProtocolFixture::RunDevices() {
  for (int round = 0; round < 1000 && RunDevicesOnce() > 0; ++round) {
  }
}

void CProtocolFixture::RunHome() {
  for (int round = 0; round < 1000; ++round) {
    home_.Context().restart();
    if (home_.Context().poll() == 0) return;
  }
}

void CProtocolFixture::Settle() {
  for (int round = 0; round < 1000; ++round) {
    std::size_t handled = RunDevicesOnce();
    home_.Context().restart();
    handled += home_.Context().poll();
    if (handled == 0) return;
  }
}

}  // namespace velmo::test
