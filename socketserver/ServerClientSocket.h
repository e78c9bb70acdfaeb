// CServerClientSocket: one accepted connection, usually a device.
//
// Owned by its I/O thread (a CIoWorker): every read, write, timer and protocol
// call of the connection runs there, so nothing in it needs a lock but the SN
// (read by other threads) and the lazily created mailbox. The connection
// never blocks:
//
//   reading   the socket is non-blocking; when it becomes readable the bytes
//             are read into the I/O thread's buffer and handed to the
//             protocol, which may pause reading (a wait, a file backlog);
//   writing   a frame is written at once as far as the socket takes it; the
//             rest waits in the output queue until the socket is writable.
//             While the queue holds `outputBound` bytes or more, further
//             frames are refused (the peer does not read), and a peer that
//             stays there for the send time-out is closed with reason 1;
//   idling    the worker's timer ticks the idle counter; past the idle limit
//             (60 ticks, 5 after the first heartbeat reply) the close path is
//             asked for reason 0, except while Velmo itself keeps the peer
//             waiting (the protocol is Busy);
//   closing   close reasons go to the window thread through the server's close
//             target (2026..2028, wParam = the connection's id); a full window
//             queue is retried on a timer, never by waiting. The window thread
//             reports and calls Close(); the teardown runs here.
//
// Its life is one state, ConnState, kept by its I/O thread (state_) and
// copied for other threads (PublicState(); Start() and Close() move the copy
// on from other threads, to "open" and "closing" only):
//
//   Created --Start--> Open --a close reason--> Ending --Close--> Closing --> Closed
//      |                 |________________________________^          (teardown)  (socket closed)
//      |__________________________Close________________________|
//
// The bytes it sends are whatever its protocol gives it: the connection knows
// nothing of frames (see protocol/Frame.h).
//
// Lives in a std::shared_ptr: the client registry holds one reference, and
// any thread that uses the connection outside the registry's lock holds
// another, so the connection may be torn down while an HTTP request or a
// relay still refers to it. Handlers queued on the I/O context hold it weakly
// (only the teardown, which the server waits for, holds it strongly), so a
// context that stops with handlers still queued leaves no cycle behind.
//
// Thread safety:
//  - window thread: TakeAcceptInfo, Setup;
//  - any thread: Start, Close, PostBytes, Post, the SN, the mailbox, the
//    accessors;
//  - its I/O thread (checked in every build): everything else.
#pragma once

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "platform/MessageLoop.h"
#include "socketserver/ClientProtocol.h"
#include "socketserver/DeviceExchange.h"
#include "socketserver/ServerTypes.h"

namespace velmo {

class CIoWorker;
class CClientRegistry;
class CDeviceCounters;
class CDeviceEvents;

// What a connection copies from the server when it is created. Shared by all
// connections created with the same settings.
struct ConnectionSettings {
  void* userData = nullptr;
  std::uint32_t sendTimeoutMs = 15000;
  std::uint32_t progressIntervalMs = 100;
  char fileDir[260] = {};
  ConnectionCallbacks callbacks;
  ServerTimings timings;
};

// What all connections of one server share: the window thread's loop and the
// server's close target, the file threads, and the server's registry,
// counters and event hub (which outlive every connection). Thread safety:
// any thread.
class CConnectionEnv {
 public:
  CConnectionEnv(platform::MessageLoop& loop, platform::TargetId closeTarget,
                 std::shared_ptr<boost::asio::io_context> files, CClientRegistry& registry,
                 CDeviceCounters& counters, CDeviceEvents& events)
      : loop_(loop),
        closeTarget_(closeTarget),
        files_(std::move(files)),
        registry_(registry),
        counters_(counters),
        events_(events) {}

  platform::MessageLoop& Loop() const { return loop_; }
  platform::TargetId CloseTarget() const { return closeTarget_; }
  // Where blocking file work runs (a few threads; serialise per connection with a strand).
  const std::shared_ptr<boost::asio::io_context>& Files() const { return files_; }
  CClientRegistry& Registry() const { return registry_; }
  CDeviceCounters& Counters() const { return counters_; }
  CDeviceEvents& Events() const { return events_; }

  // Connections created and not yet closed: the server waits for them
  // before it stops its threads.
  void Created() const;
  void Closed() const;
  // Waits at most `limit` until none is left; returns whether none is.
  bool WaitAllClosed(std::chrono::milliseconds limit) const;

 private:
  platform::MessageLoop& loop_;
  const platform::TargetId closeTarget_;
  const std::shared_ptr<boost::asio::io_context> files_;
  CClientRegistry& registry_;
  CDeviceCounters& counters_;
  CDeviceEvents& events_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  mutable int live_ = 0;  // guarded by mutex_
};

// A connection's life; see the diagram above.
enum class ConnState : std::uint8_t {
  Created,  // set up, not reading yet
  Open,     // reading and writing
  Ending,   // a close reason is on its way to the window thread; still working meanwhile
  Closing,  // the teardown has begun: reading stopped, the protocol shuts down
  Closed,   // the socket is closed
};

class CServerClientSocket : public std::enable_shared_from_this<CServerClientSocket> {
 public:
  static constexpr std::size_t kTextField = 260;  // SN and path fields hold 259 bytes + NUL
  static constexpr std::size_t kNotWatched = static_cast<std::size_t>(-1);
  static constexpr std::size_t kMaxParts = 5;     // SendBytes' parts: a frame's header and four more

  // Why reading is paused (any combination): a handler waits for a device,
  // file work is behind, reports for the window thread wait for room.
  enum ReadPause : unsigned { kPauseWait = 1, kPauseFiles = 2, kPauseWindow = 4 };

  CServerClientSocket(std::shared_ptr<const CConnectionEnv> env, std::shared_ptr<const ConnectionSettings> settings,
                      CIoWorker& worker);
  ~CServerClientSocket();
  CServerClientSocket(const CServerClientSocket&) = delete;
  CServerClientSocket& operator=(const CServerClientSocket&) = delete;

  // Window thread: takes over the record's socket and peer address (the
  // record itself is released); formats the address text.
  void TakeAcceptInfo(std::unique_ptr<AcceptInfo> info);
  // Window thread: makes the socket non-blocking and creates the protocol
  // object (from `factory`, or one that drops what it receives). Returns false
  // on any failure (SetupError() says why); the caller then calls Close().
  bool Setup(const ProtocolFactory& factory);
  const std::string& SetupError() const { return setupError_; }

  // Any thread: reading and idle counting begin (after OnSocketConnect).
  void Start();
  // Any thread, idempotent: the teardown, on the I/O thread: reading stops,
  // waits for devices end unsuccessful, the protocol shuts down (a transfer
  // still open is closed; a partly received file stays), whatever output is
  // queued is written as far as the socket takes it at once, the socket is
  // closed. Sends nothing of its own.
  void Close();

  // I/O thread. Writes the parts (at most five) one after the other, as one
  // unit of output. Returns false, writing nothing, when there are more parts,
  // the connection is closed, or its output is full; and false when the
  // socket reported an error (the close with reason 1 is then on its way).
  bool SendBytes(std::span<const std::string_view> parts);
  bool SendBytes(std::initializer_list<std::string_view> parts) { return SendBytes({parts.begin(), parts.size()}); }
  bool SendRaw(std::string_view bytes) { return SendBytes({bytes}); }
  // Any thread: bytes built elsewhere, written after whatever the I/O thread
  // wrote before they arrive. Returns false when the connection is closed or
  // its output is full; bytes it accepts are never dropped for want of room.
  bool PostBytes(std::string bytes);
  // I/O thread: the output holds `outputBound` bytes or more.
  bool OutputFull() const { return outPending_ >= settings_->timings.outputBound; }
  std::size_t OutputBytes() const { return outBytes_.load(std::memory_order_relaxed); }
  // True while bytes given to PostBytes wait for the I/O thread to write them:
  // a frame written directly now would overtake them.
  bool HasPostedFrames() const { return reserved_.load(std::memory_order_acquire) != 0; }

  // I/O thread: flow control of reading.
  void PauseReading(ReadPause why);
  void ResumeReading(ReadPause why);
  // I/O thread: one timer for the protocol's own waits; `fn` runs on the I/O
  // thread after `limit` unless CancelTimer() or the teardown comes first.
  void SetTimer(std::chrono::milliseconds limit, std::function<void()> fn);
  void CancelTimer();

  // I/O thread: asks the window thread to close the connection (2026, 2027 or
  // 2028). The first message that reaches the queue is the one reported.
  void PostClose(std::uint32_t message);
  // I/O thread, once a tick (the worker's timer).
  void MonitorTick();
  // I/O thread: hands bytes to the protocol as if they had been read (the
  // read path, and the fuzz harness).
  void Feed(const std::uint8_t* data, int length);

  // Any thread: runs `fn` on the I/O thread, unless the connection has been
  // torn down by then.
  void Post(std::function<void()> fn);

  // SN: written by the protocol on the I/O thread, read anywhere. SetSn cuts
  // it to 259 bytes (and at a zero byte), stores it through the server's
  // registry (which indexes it) and publishes "registered" when it changed to
  // a new SN.
  void SetSn(const char* bytes, std::size_t length);
  std::string GetSn() const;
  bool HasSn() const;
  bool SnEquals(std::string_view sn) const;  // the whole SN, byte for byte

  // Wall-clock moments in milliseconds since the epoch (0: not yet), readable
  // anywhere: the connection was accepted, its SN was last set or changed,
  // its last heartbeat came (MarkHeartbeat, I/O thread).
  std::int64_t ConnectedAtMs() const { return connectedAtMs_; }
  std::int64_t RegisteredAtMs() const { return registeredAtMs_.load(std::memory_order_relaxed); }
  std::int64_t LastHeartbeatAtMs() const { return lastHeartbeatAtMs_.load(std::memory_order_relaxed); }
  void MarkHeartbeat() { lastHeartbeatAtMs_.store(NowMs(), std::memory_order_relaxed); }
  static std::int64_t NowMs();

  // Idle counting (I/O thread; readable anywhere for tests and figures).
  void ResetIdle() { idleTicks_.store(0, std::memory_order_relaxed); }
  int IdleSeconds() const { return idleTicks_.load(std::memory_order_relaxed); }
  void SetIdleLimitSeconds(int limit) { idleLimit_.store(limit, std::memory_order_relaxed); }
  int IdleLimitSeconds() const { return idleLimit_.load(std::memory_order_relaxed); }

  // Any thread: the device's mailbox, created on first use; Peek gives null
  // when nobody has used it yet.
  CDeviceMailbox& Mailbox();
  CDeviceMailbox* PeekMailbox() const { return mailbox_.load(std::memory_order_acquire); }
  SharedRing& RequestRing() { return Mailbox().Request(); }
  SharedRing& ReplyRing() { return Mailbox().Reply(); }

  std::uint64_t Id() const { return id_; }
  Socket GetSocket() const { return fd_; }
  const std::string& AddressText() const { return addressText_; }
  const platform::Ipv4SockAddr& PeerAddress() const { return peerAddress_; }
  const ConnectionSettings& Settings() const { return *settings_; }
  const std::shared_ptr<const ConnectionSettings>& SettingsRef() const { return settings_; }
  const ServerTimings& Timings() const { return settings_->timings; }
  void* UserData() const { return settings_->userData; }
  const CConnectionEnv& Env() const { return *env_; }
  const std::shared_ptr<const CConnectionEnv>& EnvRef() const { return env_; }
  platform::MessageLoop& Loop() const { return env_->Loop(); }
  CIoWorker& Worker() const { return worker_; }
  const platform::GatePtr& Gate() const;
  bool IsIoThread() const;
  void AssertIoThread(const char* what) const;
  IClientProtocol& Protocol() { return *protocol_; }
  // I/O thread: the connection's state, and whether the teardown has begun.
  ConnState State() const { return state_; }
  bool Closing() const { return state_ >= ConnState::Closing; }
  // Any thread: the state as other threads see it (Start and Close are
  // counted from the moment they are asked for).
  ConnState PublicState() const { return public_.load(std::memory_order_acquire); }

 private:
  friend class CIoWorker;
  friend class CClientRegistry;

  // Raises the public state to at least `state`; returns what it was.
  ConnState Advance(ConnState state);
  void OnStarted();
  // Any thread (with the I/O thread done with the socket): the socket is
  // closed for good; the server stops waiting for this connection.
  void MarkClosed();
  // Under the registry's lock (ChangeSn): stores `sn`, returns the old one.
  std::string StoreSn(const std::string& sn);
  void TryRead();
  void PostRead();
  void ArmRead();
  void ArmWrite();
  void OnWritable();
  // Appends to the output (writing at once what the socket takes). Returns
  // false when closed, or when the output is full unless `reserved` (a posted
  // frame whose room PostBytes reserved).
  bool Write(const boost::asio::const_buffer* buffers, std::size_t count, bool reserved = false);
  void AfterOutputChange();
  void Teardown();
  void FinishTeardown();
  void RetryClose();

  // Declared first: the context outlives the socket and timers below wherever
  // the last reference to the connection goes.
  const std::shared_ptr<boost::asio::io_context> io_;
  const std::shared_ptr<const CConnectionEnv> env_;
  const std::shared_ptr<const ConnectionSettings> settings_;
  CIoWorker& worker_;
  const std::uint64_t id_;
  // A socket bound to its context's own executor type (smaller than the
  // type-erased default: there are tens of thousands of these).
  boost::asio::basic_stream_socket<boost::asio::ip::tcp, boost::asio::io_context::executor_type> socket_;
  Socket fd_ = platform::kInvalidSocket;  // the descriptor's number, for the callbacks
  bool ownsFd_ = false;  // the descriptor is not yet handed to socket_ (closed by us if never)
  platform::Ipv4SockAddr peerAddress_{};
  std::string addressText_;
  std::int64_t connectedAtMs_ = 0;  // set before the connection is shared
  std::atomic<std::int64_t> registeredAtMs_{0};
  std::atomic<std::int64_t> lastHeartbeatAtMs_{0};
  std::string setupError_;  // window thread
  std::unique_ptr<IClientProtocol> protocol_;
  std::atomic<ConnState> public_{ConnState::Created};  // state_ for other threads (see Advance)

  // I/O thread.
  ConnState state_ = ConnState::Created;
  std::size_t monitorIndex_ = kNotWatched;  // CIoWorker's
  unsigned pauses_ = 0;
  bool readArmed_ = false;
  bool readPosted_ = false;
  bool writeArmed_ = false;
  std::uint32_t pendingClose_ = 0;  // Ending: the close message still waiting for room in the window's queue
  std::string out_;                 // output not yet written, from outHead_ on
  std::size_t outHead_ = 0;
  std::size_t outPending_ = 0;      // out_.size() - outHead_
  std::chrono::steady_clock::time_point fullSince_{};  // when the output became full (epoch: not full)
  std::unique_ptr<boost::asio::steady_timer> timer_;       // the protocol's
  std::unique_ptr<boost::asio::steady_timer> closeRetry_;  // PostClose's

  std::atomic<std::size_t> outBytes_{0};  // outPending_, readable anywhere
  std::atomic<std::size_t> reserved_{0};  // bytes of posted frames not yet in the output
  std::uint32_t timerGeneration_ = 0;     // I/O thread: the SetTimer whose expiry counts
  std::atomic<int> idleTicks_{0};
  std::atomic<int> idleLimit_{kInitialIdleLimitSeconds};

  mutable std::mutex snLock_;
  std::string sn_;  // guarded by snLock_; written only under the registry's lock too

  std::atomic<CDeviceMailbox*> mailbox_{nullptr};
  std::shared_ptr<CDeviceMailbox> mailboxOwner_;  // set once with mailbox_, under snLock_
};

}  // namespace velmo
