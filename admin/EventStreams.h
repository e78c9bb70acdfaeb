// CEventStreams: the clients of /v1/events as one audience. Each device event
// and log line is turned into its JSON once and queued to every stream, and
// the statistics are computed once a second for all of them, so fifty
// consoles cost little more than one.
//
// Subscribes to the device events and the log only while a stream is open.
//
// Thread safety: Add on the admin thread; the event and log callbacks come
// from the threads that publish; streams close from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "admin/AdminServer.h"

namespace velmo {

class CEventLog;
class CDeviceEvents;

class CEventStreams : public std::enable_shared_from_this<CEventStreams> {
 public:
  // `stats`: the statistics object as JSON text (admin thread). `server`,
  // `log` and `events` outlive this.
  CEventStreams(CAdminServer& server, CEventLog& log, CDeviceEvents& events, std::function<std::string()> stats);
  ~CEventStreams();

  // Starts `stream` with the statistics, then every event until it closes.
  void Add(const std::shared_ptr<CAdminStream>& stream);

 private:
  void Remove(std::uint64_t id);
  void Broadcast(const std::string& name, const std::string& data);
  void Tick();  // admin thread: the statistics once a second while streams are open

  CAdminServer& server_;
  CEventLog& log_;
  CDeviceEvents& events_;
  const std::function<std::string()> stats_;

  // Lock order: subscriptionLock_, then the event hub's or the log's own lock,
  // then streamsLock_; callbacks take only streamsLock_.
  std::mutex subscriptionLock_;
  std::uint64_t deviceSubscription_ = 0;  // guarded by subscriptionLock_; 0: none
  std::uint64_t logTap_ = 0;              // guarded by subscriptionLock_; 0: none
  bool ticking_ = false;                  // guarded by subscriptionLock_
  std::uint64_t nextId_ = 1;              // guarded by subscriptionLock_

  std::mutex streamsLock_;
  std::map<std::uint64_t, std::shared_ptr<CAdminStream>> streams_;  // guarded by streamsLock_
};

}  // namespace velmo
