// CFileRecver (its designed name): the device protocol of one connection. It
// reassembles frames and dispatches protocol frames on the connection's I/O
// thread, one table from code to handler; each handler returns what the
// connection does next (go on, or wait), acted on in one place. Handlers live
// in the file of their part of the protocol: Registration.cpp (-36, -58,
// -88), Heartbeat.cpp (the -37 reply), Relay.cpp (-46, -56, the bare POST),
// FileTransfer.cpp (the transfer slot, on the file threads).
//
// A relay reaches its device through the device reach and waits without
// holding the thread: reading pauses, the frames behind it are kept and
// handled, in order, when its answer has gone out. Transfer frames are handed
// to the connection's file transfer, which does its file work on the file
// threads, in order, while heartbeats go on being answered.
//
// Thread safety: Setup runs on the window thread, everything else on the
// connection's I/O thread. No lock is held anywhere in it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "protocol/FrameAssembler.h"
#include "socketserver/ClientProtocol.h"
#include "socketserver/DeviceReach.h"
#include "socketserver/ServerClientSocket.h"

namespace velmo {

class CFileTransfer;

// Settings of the protocol that the owner gives all connections.
struct ProtocolSettings {
  std::string ledFilePath{};   // the LED device's text file
  std::string downloadRoot{};  // downloads are served from inside it ("": the file directory)
  // Tests only: the CRC of a download pauses this long after each 1 MiB.
  std::chrono::milliseconds crcChunkPause{0};
  // How relays reach their target (the server's registry, and the fleet);
  // without one, every relay target is unknown.
  std::shared_ptr<CDeviceReach> reach{};
};

// What the connections of one factory share. Thread safety: any thread.
class CProtocolShared {
 public:
  explicit CProtocolShared(ProtocolSettings settings) : settings_(std::move(settings)) {}
  const ProtocolSettings& Settings() const { return settings_; }
  CDeviceReach* Reach() const { return settings_.reach.get(); }
  // True at most once a minute: whether a refused LED file is worth a log line now.
  bool LedNoticeDue();
  // The -89 payload for the devices of `registry`: built when the registry
  // has changed since the last one, shared by every asker until it changes
  // again.
  std::shared_ptr<const std::string> Listing(const CClientRegistry& registry);

 private:
  const ProtocolSettings settings_;
  std::atomic<std::int64_t> lastLedNotice_{-1};  // steady-clock seconds; -1: never
  std::mutex listingLock_;
  std::shared_ptr<const std::string> listing_;  // guarded by listingLock_
  std::uint64_t listingVersion_ = 0;            // guarded by listingLock_: the registry's, when built
};

// The factory that gives every new connection its CFileRecver.
ProtocolFactory MakeProtocolFactory(ProtocolSettings settings);

class CFileRecver final : public IClientProtocol, private CFrameAssembler::Sink {
 public:
  static constexpr std::string_view kLedDeviceSn = "20210807001e00383436470a";
  static constexpr int kMaxListedDevices = 3999;  // 3 + 25 * 3999 payload bytes still fit a frame

  // What a handler leaves the connection to do.
  enum class Outcome {
    Keep,  // go on with the next frame
    Wait,  // the handler waits for a device: stop here, reading paused, until it answers
  };

  CFileRecver(CServerClientSocket& connection, std::shared_ptr<CProtocolShared> shared);
  ~CFileRecver() override;

  // IClientProtocol
  bool Setup() override;
  void OnReceived(const std::uint8_t* data, int length) override;
  void CancelTransfer() override;
  void Shutdown(std::function<void()> done) override;
  bool Busy() const override;

  // One complete frame with a negative code.
  Outcome DispatchFrame(int code, const std::uint8_t* payload, int length);
  // The held bytes, `count` of them, begin with "POST" (the bare HTTP relay).
  CFrameAssembler::PostVerdict HandlePostRequest(const std::uint8_t* held, int count);

  CServerClientSocket& Connection() { return conn_; }
  const CProtocolShared& Shared() const { return *shared_; }
  // Reports a trace text to the data callback (any thread).
  static void Trace(const CServerClientSocket& conn, const void* text, std::size_t length);
  void Trace(std::string_view text) { Trace(conn_, text.data(), text.size()); }

 private:
  // CFrameAssembler::Sink
  bool OnFrame(int code, const std::uint8_t* payload, int length) override;
  CFrameAssembler::PostVerdict OnPost(const std::uint8_t* held, int count) override;
  bool Stopping() const override;

  // Registration.cpp
  Outcome OnRegister(const std::uint8_t* payload, int length);
  Outcome OnDeviceRecord(const std::uint8_t* payload, int length);
  Outcome OnListDevices();

  // Heartbeat.cpp
  Outcome OnHeartbeat();
  void OnLedText(bool ok, const std::string& text);

  // Relay.cpp: -46, -56 and the bare POST share one path.
  enum class AnswerForm { HttpResponse, CommandFrame, QueryFrame };
  struct RelayResult {
    int status = 0;      // 0 no such device, 1 not taken (or not answered) in time, 2 done
    QueryAnswer answer;  // a query's record
    bool refused = false;  // a query text over the limit
  };
  Outcome RelayCommand(const std::uint8_t* payload, int length);
  Outcome QueryDevice(const std::uint8_t* payload, int length);
  // Hands `text` for the device `sn` (the query, or the command with a line
  // feed) to the device reach and waits for its decision, which comes back
  // to this I/O thread.
  Outcome StartRelay(AnswerForm form, const std::string& sn, std::string text);
  void FinishRelay(std::uint64_t id, const RelayResult& result);
  void Answer(AnswerForm form, const RelayResult& result);
  // Sends `payload` as one frame and reports the whole frame to the data callback.
  void SendAndTrace(std::string_view payload);

  // FileTransfer.cpp: the transfer slot, created on first use.
  CFileTransfer& Transfer();
  Outcome SubmitTransfer(int code, const std::uint8_t* payload, int length);

  CServerClientSocket& conn_;
  const std::shared_ptr<CProtocolShared> shared_;
  CFrameAssembler assembler_;
  std::uint32_t heartbeatCount_ = 0;
  std::uint32_t ledWaiting_ = 0;  // the LED device's heartbeats waiting for the LED read in flight
  std::shared_ptr<CFileTransfer> transfer_;
  std::uint64_t relay_ = 0;  // the relay this connection waits for (its id); 0: none
  AnswerForm relayForm_ = AnswerForm::CommandFrame;
  std::uint64_t nextRelay_ = 1;
};

}  // namespace velmo
