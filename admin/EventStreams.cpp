#include "admin/EventStreams.h"

#include <nlohmann/json.hpp>

#include "admin/AdminRoutes.h"
#include "platform/EventLog.h"
#include "platform/TextCodec.h"
#include "socketserver/DeviceEvents.h"

namespace velmo {

CEventStreams::CEventStreams(CAdminServer& server, CEventLog& log, CDeviceEvents& events,
                             std::function<std::string()> stats)
    : server_(server), log_(log), events_(events), stats_(std::move(stats)) {}

CEventStreams::~CEventStreams() {
  std::lock_guard<std::mutex> lock(subscriptionLock_);
  if (deviceSubscription_ != 0) events_.Unsubscribe(deviceSubscription_);
  if (logTap_ != 0) log_.RemoveTap(logTap_);
}

void CEventStreams::Add(const std::shared_ptr<CAdminStream>& stream) {
  server_.Owner().Check("CEventStreams::Add");
  stream->Push("stats", stats_());
  std::uint64_t id;
  bool startTicking = false;
  {
    std::lock_guard<std::mutex> lock(subscriptionLock_);
    id = nextId_++;
    {
      std::lock_guard<std::mutex> streams(streamsLock_);
      streams_[id] = stream;
    }
    if (deviceSubscription_ == 0) {
      // `this` stays valid in both: they are removed, and wait for a call
      // under way, before this object goes.
      deviceSubscription_ = events_.Subscribe(
          [this](const DeviceEvent& e) { Broadcast("device", DeviceEventText(e)); });
      logTap_ = log_.AddTap([this](const std::string& line) {
        Broadcast("log", nlohmann::json{{"line", GbkToUtf8(line)}}.dump(-1, ' ', false,
                                                                       nlohmann::json::error_handler_t::replace));
      });
    }
    startTicking = !ticking_;
    ticking_ = true;
  }
  if (startTicking) {
    server_.After(std::chrono::seconds(1), [weak = weak_from_this()] {
      if (auto self = weak.lock()) self->Tick();
    });
  }
  stream->SetOnClose([weak = weak_from_this(), id] {
    if (auto self = weak.lock()) self->Remove(id);
  });
}

void CEventStreams::Remove(std::uint64_t id) {
  std::lock_guard<std::mutex> lock(subscriptionLock_);
  bool empty;
  {
    std::lock_guard<std::mutex> streams(streamsLock_);
    streams_.erase(id);
    empty = streams_.empty();
  }
  if (!empty || deviceSubscription_ == 0) return;
  events_.Unsubscribe(deviceSubscription_);
  log_.RemoveTap(logTap_);
  deviceSubscription_ = logTap_ = 0;
}

void CEventStreams::Broadcast(const std::string& name, const std::string& data) {
  std::lock_guard<std::mutex> lock(streamsLock_);
  for (auto& [id, stream] : streams_) stream->Push(name, data);
}

void CEventStreams::Tick() {
  {
    std::lock_guard<std::mutex> lock(subscriptionLock_);
    std::lock_guard<std::mutex> streams(streamsLock_);
    if (streams_.empty()) {
      ticking_ = false;
      return;
    }
  }
  Broadcast("stats", stats_());
  server_.After(std::chrono::seconds(1), [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->Tick();
  });
}

}  // namespace velmo
