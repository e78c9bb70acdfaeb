// CEventWebhook: POSTs every device event (connected, registered,
// disconnected) as one JSON object to an integrator's HTTP URL.
//
// Events wait in a bounded queue and go out one at a time, in the order they
// happened, over one kept-alive connection. A 2xx answer is a delivery; a
// failure, or no whole answer within the time-out, is retried after each of
// the back-off delays in turn, and after the last one that event is dropped.
// An event that finds the queue full is dropped at once. Deliveries and
// drops are counted (Delivered, Dropped); drops are logged at most once per
// log interval.
//
// A dead webhook never slows device handling: the threads that publish events
// only append to the queue; everything else runs on the webhook's own thread.
//
// Thread safety: Start and Stop on the owner's thread (Stop also from the
// destructor); Enqueue, Delivered and Dropped from any thread; everything
// else runs on the webhook's own thread, "velmo-webhook".
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace velmo {

class CDeviceEvents;

struct WebhookUrl {
  std::string host;            // as given: a name or an address ([v6] without brackets)
  std::string port = "80";
  std::string target = "/";    // path and query
  std::string hostHeader;      // host[:port] as the URL spells it
};

// Parses "http://HOST[:PORT][/PATH]". Returns false with a one-line `error`
// for anything else (https, user information, a bad port, no host).
bool ParseWebhookUrl(std::string_view url, WebhookUrl* out, std::string* error);

struct WebhookTiming {
  std::chrono::milliseconds timeout{5000};  // one attempt: connect, send, whole answer
  std::vector<std::chrono::milliseconds> backoff{std::chrono::seconds(1), std::chrono::seconds(2),
                                                 std::chrono::seconds(4), std::chrono::seconds(8),
                                                 std::chrono::seconds(16)};
  std::chrono::milliseconds dropLogInterval{std::chrono::minutes(1)};
  std::size_t maxQueued = 10'000;
};

class CEventWebhook {
 public:
  // `log` receives one line (any thread but the publishers') when events
  // were dropped.
  CEventWebhook(WebhookUrl url, std::function<void(std::string_view)> log, WebhookTiming timing = {});
  ~CEventWebhook();  // Stop()
  CEventWebhook(const CEventWebhook&) = delete;
  CEventWebhook& operator=(const CEventWebhook&) = delete;

  // Starts the webhook thread and follows the device server's `events`
  // (which outlive this).
  void Start(CDeviceEvents& events);
  // Stops following events and ends the thread; what is still queued is lost.
  void Stop();
  // Queues one event's JSON. Returns false when the queue is full (the event
  // is dropped and counted).
  bool Enqueue(std::string json);
  // Events delivered (a 2xx answer), and given up or not queued.
  std::uint64_t Delivered() const;
  std::uint64_t Dropped() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::thread thread_;
  CDeviceEvents* events_ = nullptr;  // followed since Start
  std::uint64_t subscription_ = 0;
};

}  // namespace velmo
