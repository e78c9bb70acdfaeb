// CServerClientSocket: one accepted connection, usually a device.
//
// Owns the socket, its message target (the close path), the receive and monitor
// threads, the protocol object and the two rings. Lives in a std::shared_ptr:
// the client registry holds one reference, and any thread that uses the
// connection outside the registry's lock holds another, so the window thread can
// tear it down while an HTTP worker or a relay still waits on it. The teardown
// stops everything; the memory goes with the last reference.
//
// Lifecycle (window thread): created -> TakeAcceptInfo/Configure -> Setup ->
// appended to the registry -> OnSocketConnect -> ResumeReceiving -> running ->
// close message (2026/2027/2028) -> removed, OnSocketDisconnect, Close.
//
// Thread safety:
//  - window thread only: Setup, ResumeReceiving, Close and the close path;
//  - any thread: SendFrame/SendRaw (whole writes serialised by sendLock_), the
//    rings, the SN (snLock_), the idle counter, PostClose and the accessors.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/MessageLoop.h"
#include "socketserver/ByteRing.h"
#include "socketserver/ClientProtocol.h"
#include "socketserver/DeviceExchange.h"
#include "socketserver/ServerTypes.h"

namespace velmo {

class CSocketServer;
class CServerClientSocketRecvThread;

// What a connection copies from the server when it is created.
struct ConnectionSettings {
  const void* owner = nullptr;  // the server that created the connection (its monitor ticks it)
  void* userData = nullptr;
  std::uint32_t sendTimeoutMs = 15000;
  std::uint32_t progressIntervalMs = 100;
  int threadPriority = kThreadPriorityBelowNormal;
  char fileDir[260] = {};
  ConnectionCallbacks callbacks;
  ServerTimings timings;
};

class CServerClientSocket {
 public:
  static constexpr std::size_t kTextField = 260;  // SN and path fields hold 259 bytes + NUL
  static constexpr int kFrameHeader = 6;          // "@" + five-digit payload length
  static constexpr int kMaxPayload = 99999;

  CServerClientSocket(platform::MessageLoop& loop, const ConnectionSettings& settings);
  ~CServerClientSocket();  // Close()
  CServerClientSocket(const CServerClientSocket&) = delete;
  CServerClientSocket& operator=(const CServerClientSocket&) = delete;

  // Window thread: takes over the record and its socket; formats the address text.
  void TakeAcceptInfo(std::unique_ptr<AcceptInfo> info);

  // Window thread: message target, send time-out, parked receive thread,
  // protocol object (from `factory`, or a sink that keeps nothing), protocol
  // set-up. Idle counting starts when the connection enters the registry. Returns false on any failure, thread creation
  // included; the caller then tears the connection down with Close().
  bool Setup(const ProtocolFactory& factory);

  // Why Setup failed, in words.
  const std::string& SetupError() const { return setupError_; }

  // Window thread: lets the receive thread run (after OnSocketConnect).
  void ResumeReceiving();

  // Window thread: the teardown, in this order: message target destroyed (queued
  // close messages discarded), receive thread stopped (socket shut down to wake
  // it) and joined, protocol shut down and freed, socket closed, record
  // released. Idempotent. Sends nothing to the device. The receive thread's
  // object stays until the connection is freed: its stop flag is read by the
  // monitor through any reference.
  void Close();

  // Any thread. `frame` holds the payload at offset 6, offsets 0..5 are free;
  // writes "@%05d" there and sends the whole frame under the send lock so frames
  // never interleave. Returns false when the socket reported an error (the
  // caller decides what that means) or payloadLength is outside 0..99999.
  bool SendFrame(std::uint8_t* frame, int payloadLength);
  // Any thread: unframed bytes, under the same send lock.
  bool SendRaw(const void* data, std::size_t length);

  // Any thread: posts a close message (2026, 2027 or 2028) to this connection's
  // target with the retry rule bound to the receive thread's stop flag.
  void PostClose(std::uint32_t message);

  // SN: written by the protocol on the receive thread, read anywhere.
  void SetSn(const char* bytes, std::size_t length);  // cut to 259 bytes
  std::string GetSn() const;
  bool HasSn() const;
  bool SnEquals(std::string_view sn) const;  // the whole SN, byte for byte

  // Idle counting (monitor thread counts, protocol resets). While the
  // connection's own receive thread waits for another device on its behalf
  // (a relay), the time is Velmo's, not the peer's silence: it is not counted.
  void ResetIdle() { idleSeconds_.store(0, std::memory_order_relaxed); }
  int AddIdleTick() {
    if (waiting_.load(std::memory_order_relaxed) > 0) return idleSeconds_.exchange(0, std::memory_order_relaxed);
    return idleSeconds_.fetch_add(1, std::memory_order_relaxed) + 1;
  }
  // Monitor thread, once a tick: counts an idle second and posts a close
  // (reason 0) when the count passes the limit and receiving goes on.
  void MonitorTick();
  const void* Owner() const { return settings_.owner; }
  // Marks the span of a relay's wait (receive thread); see AddIdleTick.
  class CWaitScope {
   public:
    explicit CWaitScope(CServerClientSocket& c) : c_(c) { ++c_.waiting_; }
    ~CWaitScope() {
      --c_.waiting_;
      c_.ResetIdle();
    }
    CWaitScope(const CWaitScope&) = delete;
    CWaitScope& operator=(const CWaitScope&) = delete;

   private:
    CServerClientSocket& c_;
  };
  int IdleSeconds() const { return idleSeconds_.load(std::memory_order_relaxed); }
  void SetIdleLimitSeconds(int limit) { idleLimitSeconds_.store(limit, std::memory_order_relaxed); }
  int IdleLimitSeconds() const { return idleLimitSeconds_.load(std::memory_order_relaxed); }

  Socket GetSocket() const { return socket_.load(); }
  const std::string& AddressText() const { return addressText_; }
  const platform::Ipv4SockAddr& PeerAddress() const { return peerAddress_; }
  SharedRing& RequestRing() { return requestRing_; }
  SharedRing& ReplyRing() { return replyRing_; }
  CQueryRound& QueryRound() { return queryRound_; }
  const ConnectionSettings& Settings() const { return settings_; }
  const ServerTimings& Timings() const { return settings_.timings; }
  void* UserData() const { return settings_.userData; }
  platform::MessageLoop& Loop() const { return loop_; }
  IClientProtocol& Protocol() { return *protocol_; }
  // The receive thread's stop flag: bounds every retrying post about this connection.
  const platform::StopSignal& RecvStopFlag() const;

 private:
  void OnMessage(std::uint32_t msg);

  platform::MessageLoop& loop_;
  const ConnectionSettings settings_;
  std::atomic<platform::TargetId> target_{0};
  std::atomic<Socket> socket_{platform::kInvalidSocket};
  std::unique_ptr<AcceptInfo> acceptInfo_;
  platform::Ipv4SockAddr peerAddress_{};
  std::string addressText_;

  std::unique_ptr<CServerClientSocketRecvThread> recvThread_;
  std::unique_ptr<IClientProtocol> protocol_;
  bool closed_ = false;  // window thread
  std::string setupError_;  // window thread

  std::mutex sendLock_;  // serialises whole writes on the socket

  SharedRing requestRing_;  // text waiting for the device's next heartbeat
  SharedRing replyRing_;    // device-information bytes the device answered
  CQueryRound queryRound_;  // lets concurrent queries of this device share one round

  mutable std::mutex snLock_;
  char sn_[kTextField] = {};  // guarded by snLock_

  std::atomic<int> idleSeconds_{0};
  std::atomic<int> waiting_{0};  // relays of this connection now waiting
  std::atomic<int> idleLimitSeconds_{kInitialIdleLimitSeconds};
};

}  // namespace velmo
