#include "socketserver/IoWorker.h"

#include "socketserver/ServerClientSocket.h"

namespace velmo {

CIoWorker::CIoWorker(std::string name, std::chrono::milliseconds tick, int priority)
    : thread_(std::move(name), 1, priority),
      tick_(tick),
      timer_(thread_.Context()),
      buffer_(new std::uint8_t[kRecvBufferBytes]) {}

CIoWorker::~CIoWorker() { Stop(); }

void CIoWorker::Watch(CServerClientSocket* connection) {
  thread_.Owner().Check("CIoWorker::Watch");
  connection->monitorIndex_ = watched_.size();
  watched_.push_back(connection);
  if (!ticking_) Arm();
}

void CIoWorker::Unwatch(CServerClientSocket* connection) {
  thread_.Owner().Check("CIoWorker::Unwatch");
  std::size_t i = connection->monitorIndex_;
  if (i >= watched_.size() || watched_[i] != connection) return;
  watched_[i] = watched_.back();
  watched_[i]->monitorIndex_ = i;
  watched_.pop_back();
  connection->monitorIndex_ = CServerClientSocket::kNotWatched;
}

void CIoWorker::Arm() {
  ticking_ = true;
  timer_.expires_after(tick_);
  timer_.async_wait([this](const boost::system::error_code& ec) {
    if (!ec) Tick();
  });
}

void CIoWorker::Tick() {
  if (watched_.empty()) {
    ticking_ = false;  // an idle thread does not wake; the next Watch starts the clock again
    return;
  }
  // MonitorTick only posts; nothing it does adds or removes watched connections.
  for (CServerClientSocket* c : watched_) c->MonitorTick();
  Arm();
}

}  // namespace velmo
