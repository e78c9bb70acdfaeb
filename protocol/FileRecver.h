// CFileRecver: the protocol object of one connection. It reassembles frames on
// the receive thread, dispatches protocol frames under the connection's
// protocol lock, and hands work that belongs to the window thread (heartbeat
// replies, file-transfer steps) to its receiver message target.
//
// Handlers live in the file of their part of the protocol: Registration.cpp
// (-36, -58, -88), Heartbeat.cpp (the -37 reply), and so on; DispatchFrame is
// the one table from code to handler.
//
// Thread safety:
//  - receive thread: OnReceived, DispatchFrame (takes lock_), HandlePostRequest;
//  - window thread: Setup, Shutdown, CancelTransfer, the receiver's messages
//    (OnHeartbeat sends without lock_, under the connection's send lock only);
//  - any thread: PostToWindow, PostToReceiver.
// lock_ is recursive. No thread holds the protocol locks of two connections.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/MessageLoop.h"
#include "protocol/FrameAssembler.h"
#include "socketserver/ClientProtocol.h"
#include "socketserver/ServerClientSocket.h"

namespace velmo {

// Settings of the protocol that the owner gives all connections.
struct ProtocolSettings {
  std::string ledFilePath{};   // the LED device's text file
  std::string downloadRoot{};  // downloads are served from inside it ("": the file directory)
};

// The factory that gives every new connection its CFileRecver.
ProtocolFactory MakeProtocolFactory(ProtocolSettings settings);

class CFileRecver final : public IClientProtocol, private CFrameAssembler::Sink {
 public:
  static constexpr std::string_view kLedDeviceSn = "20210807001e00383436470a";
  static constexpr int kMaxListedDevices = 3999;  // 3 + 25 * 3999 payload bytes still fit a frame

  CFileRecver(CServerClientSocket& connection, std::shared_ptr<const ProtocolSettings> settings);
  ~CFileRecver() override;

  // IClientProtocol
  bool Setup() override;
  void OnReceived(const std::uint8_t* data, int length) override;
  void CancelTransfer() override;
  void Shutdown() override;

  // Receive thread: one complete frame with a negative code, under the lock.
  void DispatchFrame(int code, const std::uint8_t* payload, int length);
  // Receive thread: the held bytes, `count` of them, begin with "POST" (the
  // bare HTTP relay, Relay.cpp). Returns the bytes the request took, or 0
  // while it is incomplete.
  int HandlePostRequest(const std::uint8_t* held, int count);

  // Posts with the retry rule bound to the receive thread's stop flag.
  bool PostToWindow(platform::TargetId window, std::uint32_t msg);
  bool PostToReceiver(std::uint32_t msg) { return PostToWindow(receiverWindow_.load(), msg); }

  // Window thread, message 2036: answers the heartbeat (see Heartbeat.cpp).
  void OnHeartbeat();

  // FileTransfer.cpp, window thread, under the lock: messages 2029..2035.
  void OnUploadRequested();
  void OnTransferMessage(std::uint32_t msg);

  CServerClientSocket& Connection() { return conn_; }

  // Sends `payload` as one frame. Returns the writer's result.
  bool SendPayload(std::string_view payload);

 private:
  // CFrameAssembler::Sink (receive thread)
  void OnFrame(int code, const std::uint8_t* payload, int length) override;
  int OnPost(const std::uint8_t* held, int count) override;
  bool Stopping() const override;

  void OnReceiverMessage(std::uint32_t msg);

  // Registration.cpp
  void OnRegister(const std::uint8_t* payload, int length);
  void OnDeviceRecord(const std::uint8_t* payload, int length);
  void OnListDevices();

  // Relay.cpp
  void RelayCommand(const std::uint8_t* payload, int length);
  void QueryDevice(const std::uint8_t* payload, int length);
  // Reports a trace text to the data callback.
  void Trace(const void* text, std::size_t length);
  void Trace(std::string_view text) { Trace(text.data(), text.size()); }
  // Sends `payload` as one frame and reports the whole frame to the data callback.
  void SendAndTrace(std::string_view payload);

  // FileTransfer.cpp, under the lock.
  enum class Transfer { None, Upload, Download };
  void OnUploadRequest(const std::uint8_t* payload, int length);   // -16
  void OnUploadData(const std::uint8_t* payload, int length);      // -19
  void OnUploadEnded(int code);                                    // -21, -23
  void OnDownloadRequest(const std::uint8_t* payload, int length); // -26
  void OnNextBlock();                                              // -29
  // Removes queued progress messages (on the window thread only) and closes the file.
  void CloseTransfer();
  void CheckComplete();
  void ProgressStep();
  // Sends `payload` and posts a close with reason 1 when that fails.
  void SendOrClose(std::string_view payload);

  // Heartbeat.cpp: the text for an empty heartbeat, or false when there is
  // none to send this time (the LED file cannot be read).
  bool BuildCommand(std::string* command);

  CServerClientSocket& conn_;
  const std::shared_ptr<const ProtocolSettings> settings_;
  std::recursive_mutex lock_;  // the connection's protocol lock
  std::atomic<platform::TargetId> receiverWindow_{0};
  CFrameAssembler assembler_;        // receive thread only
  std::uint32_t heartbeatCount_ = 0;  // window thread only

  // The one transfer slot; guarded by lock_.
  Transfer transfer_ = Transfer::None;  // an open file is a transfer in progress
  int file_ = -1;
  bool uploadRefused_ = false;          // the pending upload request names no acceptable file
  std::string path_;                    // upload: file directory + name; download: the resolved path
  std::string downloadName_;            // the name sent in the download header
  std::uint32_t total_ = 0;
  std::uint32_t done_ = 0;
  std::uint32_t crc_ = 0;
  std::uint32_t lastProgressTick_;
  std::uint32_t blockSize_ = 3072;
  std::uint32_t sendOffset_ = 0;
};

}  // namespace velmo
