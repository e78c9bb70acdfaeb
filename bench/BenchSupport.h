// Helpers shared by the benchmarks: a loopback client (LoopbackClient.h) and
// a device server with the real protocol on its own window thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "bench/LoopbackClient.h"
#include "platform/MessageLoop.h"
#include "protocol/DeviceProtocol.h"
#include "socketserver/SocketServer.h"

namespace velmo::bench {

// A CSocketServer on 127.0.0.1 (an ephemeral port) with the real protocol,
// run by a window thread of its own until destroyed.
class CInProcessServer {
 public:
  explicit CInProcessServer(const std::string& fileDir = "") {
    window_ = std::thread([this, fileDir] {
      loop_.BindToCurrentThread();
      server_ = std::make_unique<CSocketServer>(loop_, nullptr);
      server_->SetBindAddress("127.0.0.1");
      server_->SetPort(0);
      server_->SetFileDir(fileDir.c_str());
      server_->SetProgressInterval(1000);
      reach_ = std::make_shared<CDeviceReach>(server_->Registry(), server_->Counters());
      ProtocolSettings protocol;
      protocol.reach = reach_;
      server_->SetProtocolFactory(MakeProtocolFactory(protocol));
      server_->Start();
      port_ = server_->ListeningPort();
      loop_.Run();
      server_.reset();
    });
    while (port_.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~CInProcessServer() {
    loop_.PostTask([this] { loop_.Quit(); });
    window_.join();
  }
  std::uint16_t Port() const { return port_.load(); }
  platform::MessageLoop& Loop() { return loop_; }
  // The server's connections, and the reach to them (any thread, once Port() is known).
  const CClientRegistry& Registry() const { return server_->Registry(); }
  CDeviceReach& Reach() const { return *reach_; }

 private:
  platform::MessageLoop loop_;
  std::unique_ptr<CSocketServer> server_;
  std::shared_ptr<CDeviceReach> reach_;
  std::atomic<std::uint16_t> port_{0};
  std::thread window_;
};

}  // namespace velmo::bench
