// CFileTransfer: the one transfer slot of a connection, worked on the file
// threads: uploads from the device into the file directory (-16 ... -20),
// downloads by path (-26, -27, -29, -39), the server's cancel (-22), and the
// reading of the LED device's text file.
//
// Every file operation blocks, so none runs on an I/O thread: the connection
// hands its transfer frames over (copied) and they are handled here, one at a
// time and in order, on a strand of the server's file threads; the
// connection goes on answering heartbeats meanwhile. The CRC-32 of a download
// is computed 1 MiB at a time, so other connections' file work runs between
// the chunks; transfer frames that arrive meanwhile wait for it. Frames are
// sent through the connection's thread-safe PostBytes; the steps the window
// thread reports (request, progress, success, failure) go to the transfer's
// receiver target as messages 2029..2034. When more than a few MiB of upload
// data wait here, the connection stops reading until they are written.
//
// Input from the device is hostile: upload names must be plain file names (no
// "/" or "\", not "." or "..", no zero byte, at most 249 bytes) and never
// follow a symbolic link; download paths are resolved and must stay inside
// the download root; only regular files are opened, non-blocking; sizes,
// lengths and block sizes are bounded.
//
// Thread safety: Submit, ReadLed, Cancel, Shutdown and Busy are called on the
// connection's I/O thread; the handlers run on the strand; the receiver's
// messages on the window thread, which reads path, done and total under
// infoLock_.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/MessageLoop.h"
#include "socketserver/ServerClientSocket.h"

namespace velmo {

class CProtocolShared;

class CFileTransfer : public std::enable_shared_from_this<CFileTransfer> {
 public:
  CFileTransfer(CServerClientSocket& connection, std::shared_ptr<CProtocolShared> shared);
  ~CFileTransfer();
  CFileTransfer(const CFileTransfer&) = delete;
  CFileTransfer& operator=(const CFileTransfer&) = delete;

  // I/O thread: a transfer frame (-16, -19, -21, -23, -26, -29), handled in order.
  void Submit(int code, const std::uint8_t* payload, int length);
  // I/O thread: reads the LED text file; `done(ok, text)` runs on the I/O
  // thread (not at all when the connection has gone).
  void ReadLed(std::function<void(bool ok, const std::string& text)> done);
  // I/O thread: cancels the upload or download in progress ("-22", no callback).
  void Cancel();
  // I/O thread (teardown): closes the file without a report; `done` runs on
  // the I/O thread afterwards.
  void Shutdown(std::function<void()> done);
  // I/O thread: file work is pending (frames, a CRC, an LED read).
  bool Busy() const { return inFlight_.load(std::memory_order_relaxed) > 0; }

 private:
  enum class Slot { None, Upload, Download };

  // What a handler leaves to do, acted on in one place (Act).
  struct Step {
    enum Kind { Keep, CloseSendFailed, Fail } kind = Keep;
    std::uint32_t message = 0;     // Fail: the message for the window thread (2031..2033)
    bool closeFile = false;        // close the transfer first
    const char* reply = nullptr;   // Fail: a frame for the device ("-24"); close with reason 1 if it cannot go
  };
  static Step Keep() { return {}; }
  static Step CloseSendFailed(bool closeFile) { return {Step::CloseSendFailed, 0, closeFile, nullptr}; }
  static Step Fail(std::uint32_t message, bool closeFile, const char* reply = nullptr) {
    return {Step::Fail, message, closeFile, reply};
  }

  // Strand.
  void Handle(int code, std::string payload);
  Step OnUploadRequest(std::string_view payload);  // -16
  Step OnUploadAccepted(bool accept);              // the window thread's answer to 2029
  Step OnUploadData(std::string_view payload);     // -19
  Step OnTransferEnded(int code);                  // -21, -23: the device ends its upload or download
  Step OnDownloadRequest(std::string_view payload);  // -26
  Step OnNextBlock();                              // -29
  // Reads the block at `offset` (`n` bytes) straight into a -39 frame.
  // Returns false when the file gives fewer bytes.
  bool ReadBlock(std::uint32_t offset, std::uint32_t n, std::string* frame);
  // After a block went out: reads the next one into the ready slot, so that
  // the next -29 finds it there.
  void ReadAhead();
  // Strand: the I/O thread sent the ready block of `n` bytes.
  void OnReadySent(std::uint32_t n);
  // I/O thread: sends the ready block for a -29 when nothing else of the
  // transfer is pending (so the slot holds the block the strand would send).
  // Returns false when the strand has to handle the -29.
  bool SendReady();
  void ClearReady();
  void CrcChunk();
  void FinishCrc(bool ok);
  void AbortCrc();
  Step CheckComplete();
  void Act(const Step& step);
  void CloseTransfer();
  void ProgressStep();
  void Replay();
  // Sends the frame "@%05d" + parts; with `trace`, reports it to the data
  // callback. False when the connection refused it (gone, or full).
  bool Send(std::initializer_list<std::string_view> parts, bool trace = false);
  void RequestClose(std::uint32_t message);
  void Trace(std::string_view text);
  void PostToReceiver(std::uint32_t message);
  void FlushOutbox();
  // Pauses (or resumes) the connection's reading while reports wait for the window.
  void PauseForWindow(bool pause);
  // A -49 or -39 that the connection refused: reported once per transfer.
  Step SendFailed();
  void Done();  // one unit of pending work finished

  // Window thread.
  void OnWindowMessage(std::uint32_t message);

  // Declared first: outlives the strand and timer below.
  const std::shared_ptr<boost::asio::io_context> io_;
  boost::asio::strand<boost::asio::io_context::executor_type> strand_;
  boost::asio::steady_timer timer_;     // strand: outbox retries
  boost::asio::steady_timer crcTimer_;  // strand: the CRC's pauses (tests)
  const std::weak_ptr<CServerClientSocket> conn_;
  const std::shared_ptr<CProtocolShared> shared_;
  const std::shared_ptr<const ConnectionSettings> settings_;
  // The server's: its counters outlive the file threads that count here.
  const std::shared_ptr<const CConnectionEnv> env_;
  CDeviceCounters& counters_;
  platform::MessageLoop& loop_;
  const platform::GatePtr connGate_;  // the connection's I/O thread

  // Strand.
  Slot slot_ = Slot::None;  // an open file is a transfer in progress
  int file_ = -1;
  bool uploadRefused_ = false;  // the pending upload request names no acceptable file
  std::string downloadName_;    // the name sent in the download header
  std::uint32_t crc_ = 0;
  std::uint32_t lastProgressTick_ = 0;
  std::uint32_t blockSize_ = 3072;
  std::uint32_t sendOffset_ = 0;
  bool shut_ = false;
  struct Crc {
    bool active = false;
    int fd = -1;
    std::uint64_t at = 0;
    std::uint64_t size = 0;
    std::uint32_t value = 0;
    std::string path, name;
  } crcWork_;
  std::deque<std::pair<int, std::string>> deferred_;  // frames that came during a CRC
  std::deque<std::uint32_t> outbox_;                  // messages waiting for room in the window's queue
  bool outboxRetry_ = false;
  bool pausedForWindow_ = false;
  bool sendFailed_ = false;  // a -49 or -39 of this transfer was refused and reported
  platform::TargetId receiver_ = 0;

  // Read by the window thread's handlers.
  std::mutex infoLock_;
  std::string path_;           // guarded by infoLock_: upload: file directory + name; download: the resolved path
  std::uint32_t total_ = 0;    // guarded by infoLock_
  std::uint32_t done_ = 0;     // guarded by infoLock_
  bool refused_ = false;       // guarded by infoLock_: the pending upload request is refused

  // The next download block, read ahead on the strand; the I/O thread sends
  // it itself when its -29 comes, so a download waits for no thread switch.
  std::mutex readyLock_;
  std::string readyFrame_;         // guarded by readyLock_: its -39 frame ("" when none)
  std::uint32_t readyLength_ = 0;  // guarded by readyLock_: its block bytes

  std::atomic<int> inFlight_{0};           // frames not yet handled, a CRC, an LED read
  std::atomic<std::size_t> backlog_{0};    // bytes of frames not yet handled
  std::atomic<bool> pausedForFiles_{false};
};

}  // namespace velmo
