#include "tests/ServerFixture.h"

#include <gtest/gtest.h>

#include "socketserver/DeviceReach.h"

namespace velmo::test {

std::unique_ptr<CSocketServer> MakeServer(LoopThread& window, const ServerConfig& c) {
  return window.Call([&] {
    auto s = std::make_unique<CSocketServer>(window.Loop(), c.owner);
    s->SetBindAddress("127.0.0.1");
    s->SetPort(0);
    s->SetTimings(c.timings);
    if (c.sendTimeoutMs) s->SetSendTimeout(*c.sendTimeoutMs);
    if (c.progressIntervalMs) s->SetProgressInterval(*c.progressIntervalMs);
    if (!c.fileDir.empty()) s->SetFileDir(c.fileDir.c_str());
    if (c.onAccept) s->SetOnAccept(c.onAccept);
    if (c.onAcceptErr) s->SetOnAcceptErr(c.onAcceptErr);
    if (c.onSocketConnect) s->SetOnSocketConnect(c.onSocketConnect);
    const ConnectionCallbacks& cb = c.callbacks;
    if (cb.onSocketDisconnect) s->SetOnSocketDisconnect(cb.onSocketDisconnect);
    if (cb.onRecvData) s->SetOnRecvData(cb.onRecvData);
    if (cb.onRecvFileRequest) s->SetOnRecvFileRequest(cb.onRecvFileRequest);
    if (cb.onRecvFileProgress) s->SetOnRecvFileProgress(cb.onRecvFileProgress);
    if (cb.onRecvFileSucc) s->SetOnRecvFileSucc(cb.onRecvFileSucc);
    if (cb.onRecvFileFail) s->SetOnRecvFileFail(cb.onRecvFileFail);
    if (cb.onNotice) s->SetOnNotice(cb.onNotice);
    if (c.factory) {
      s->SetProtocolFactory(c.factory);
    } else {
      ProtocolSettings protocol = c.protocol;
      // Relays reach this server's devices, with its own bound.
      if (!protocol.reach) {
        protocol.reach = std::make_shared<CDeviceReach>(s->Registry(), s->Counters(), c.timings.deviceWait);
      }
      s->SetProtocolFactory(MakeProtocolFactory(protocol));
    }
    if (c.start) {
      EXPECT_TRUE(s->Start()) << s->LastStartError();
    }
    return s;
  });
}

std::uint16_t ListeningPort(LoopThread& window, CSocketServer& server) {
  return window.Call([&] { return server.ListeningPort(); });
}

std::size_t QueuedBytes(const CClientRegistry& registry, const std::string& sn) {
  auto device = registry.FindBySn(sn);
  return device ? device->RequestRing().Size() : 0;
}

bool WaitQueued(const CClientRegistry& registry, const std::string& sn, std::chrono::milliseconds timeout) {
  return WaitUntil([&] { return QueuedBytes(registry, sn) > 0; }, timeout);
}

}  // namespace velmo::test
