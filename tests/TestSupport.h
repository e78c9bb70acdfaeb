// Helpers shared by Velmo's tests: a window thread running a message loop, a
// recorder for server events, a fake device over loopback, polling waits and
// a sample device-information record (the device server itself:
// ServerFixture.h).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/MessageLoop.h"
#include "protocol/DeviceInfoRecord.h"

namespace velmo::test {

using namespace std::chrono_literals;

// Polls `pred` every 2 ms until it holds or `timeout` passes; returns its last value.
bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 5000ms);

// A thread that plays the window thread: it owns a MessageLoop and runs it.
class LoopThread {
 public:
  explicit LoopThread(std::size_t queueLimit = platform::MessageLoop::kDefaultQueueLimit);
  ~LoopThread();  // quits and joins

  platform::MessageLoop& Loop() { return loop_; }

  // Runs `fn` on the window thread and waits for it; returns its result.
  template <class Fn>
  auto Call(Fn&& fn) -> decltype(fn()) {
    using R = decltype(fn());
    std::packaged_task<R()> task(std::forward<Fn>(fn));
    auto future = task.get_future();
    while (loop_.PostTask([&task] { task(); }) != platform::PostResult::Ok) std::this_thread::sleep_for(1ms);
    return future.get();
  }

 private:
  platform::MessageLoop loop_;
  std::thread thread_;
};

// Records events as text lines ("accept 7", "disconnect 7 0", ...) from any
// thread. When the test that owns it has failed, it prints them as it goes.
class EventRecorder {
 public:
  EventRecorder() = default;
  ~EventRecorder();
  EventRecorder(const EventRecorder&) = delete;
  EventRecorder& operator=(const EventRecorder&) = delete;
  void Add(std::string line);
  std::vector<std::string> Lines() const;
  std::size_t Count(const std::string& prefix) const;
  // Waits until at least `n` lines start with `prefix`.
  bool WaitCount(const std::string& prefix, std::size_t n, std::chrono::milliseconds timeout = 5000ms) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<std::string> lines_;
};

// The number that ends the newest line starting with `prefix` (the reason of
// "fail <path> <reason>"); -1 when no such line ends in a number.
int LastReason(const EventRecorder& events, const std::string& prefix);
// The close reason of the newest "disconnect <socket> <reason>" line; -1 when
// none was recorded.
int LastCloseReason(const EventRecorder& events);

// A device stand-in: a blocking client socket on 127.0.0.1.
class FakeDevice {
 public:
  FakeDevice() = default;
  explicit FakeDevice(std::uint16_t port) { Connect(port); }
  ~FakeDevice();
  FakeDevice(const FakeDevice&) = delete;
  FakeDevice& operator=(const FakeDevice&) = delete;

  bool Connect(std::uint16_t port);  // Open() + ConnectOpened(); false when refused
  void Open();                          // creates the socket only
  bool ConnectOpened(std::uint16_t port);
  bool Send(const std::string& bytes);
  // Reads until `n` bytes arrived, the peer closed, or `timeout` passed.
  std::string Receive(std::size_t n, std::chrono::milliseconds timeout = 2000ms);
  // Reads until the bytes received end with `suffix` (or time-out / close).
  std::string ReceiveUntil(const std::string& suffix, std::chrono::milliseconds timeout = 5000ms);
  // Reads one frame ("@" + five digits + payload) and returns its payload; ""
  // on time-out, a closed connection or bytes that are no frame.
  std::string ReadFrame(std::chrono::milliseconds timeout = 2000ms);
  // True when no byte arrives within `quiet`.
  bool Silent(std::chrono::milliseconds quiet = 100ms);
  // True when the server closed the connection within `timeout` (reads and
  // discards anything that arrives first).
  bool WaitClosed(std::chrono::milliseconds timeout = 5000ms);
  void Close();
  void Reset();  // close with RST (SO_LINGER 0)
  void Shutdown();  // both directions; wakes a thread blocked reading; the descriptor stays
  int Fd() const { return fd_; }
  std::uint16_t LocalPort() const;

 private:
  int fd_ = -1;
};

// "@" + "%05d" payload length + payload.
std::string Frame(const std::string& payload);

// A port on 127.0.0.1 that nothing listens on right now.
std::uint16_t FreePort();

// A device's information record with every field set, as a device sends it
// with -58: version 01.02.03, IP 192.168.1.20, MAC 12:AB:0C:00:FF:1FF (its
// last word wider than a byte), clock 2024-01-02 03:04:05 (every field but
// the year below 10). Change a field to tell several records apart.
DeviceInfo SampleDeviceInfo();

}  // namespace velmo::test
