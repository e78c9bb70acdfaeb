// CIoWorker: one I/O thread of the device server and what belongs to it: the
// connections assigned to it, one timer that ticks their idle counters, and
// the receive buffer that every read on this thread lands in (frames are
// handled in place; a connection keeps only an incomplete tail).
//
// Thread safety: Start, Stop and the accessors belong to the server's owner
// thread; Watch, Unwatch and RecvBuffer to the I/O thread itself.
#pragma once

#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/IoThread.h"

namespace velmo {

class CServerClientSocket;

class CIoWorker {
 public:
  static constexpr std::size_t kRecvBufferBytes = 32768;

  CIoWorker(std::string name, std::chrono::milliseconds tick, int priority);
  ~CIoWorker();  // Stop()
  CIoWorker(const CIoWorker&) = delete;
  CIoWorker& operator=(const CIoWorker&) = delete;

  bool Start() { return thread_.Start(); }
  void Stop() { thread_.Stop(); }

  platform::CIoThread& Thread() { return thread_; }
  boost::asio::io_context& Context() { return thread_.Context(); }

  // I/O thread: the connection is ticked from now on (until Unwatch).
  void Watch(CServerClientSocket* connection);
  void Unwatch(CServerClientSocket* connection);
  std::uint8_t* RecvBuffer() { return buffer_.get(); }
  std::size_t Watched() const { return watched_.size(); }

 private:
  void Arm();
  void Tick();

  platform::CIoThread thread_;  // declared first: its context outlives the timer
  const std::chrono::milliseconds tick_;
  boost::asio::steady_timer timer_;
  bool ticking_ = false;                       // I/O thread
  std::vector<CServerClientSocket*> watched_;  // I/O thread; each knows its index
  std::unique_ptr<std::uint8_t[]> buffer_;
};

}  // namespace velmo
