// The event webhook: its URL, delivery in order with retries, time-outs and
// drops, and a dead receiver that never slows the devices.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "app/EventWebhook.h"
#include "socketserver/DeviceEvents.h"
#include "tests/AdminFixture.h"

namespace velmo::test {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

TEST(WebhookUrl, Parsing) {
  struct Good {
    const char* url;
    const char* host;
    const char* port;
    const char* target;
    const char* hostHeader;
  } good[] = {
      {"http://127.0.0.1:9000/hook?x=1", "127.0.0.1", "9000", "/hook?x=1", "127.0.0.1:9000"},
      {"http://example.org", "example.org", "80", "/", "example.org"},
      {"HTTP://Example.org/a#frag", "Example.org", "80", "/a", "Example.org"},
      {"http://[::1]:81/v6", "::1", "81", "/v6", "[::1]:81"},
      {"http://[::1]/v6", "::1", "80", "/v6", "[::1]"},
      {"http://h?q", "h", "80", "/?q", "h"},
  };
  for (const auto& g : good) {
    WebhookUrl u;
    std::string error;
    ASSERT_TRUE(ParseWebhookUrl(g.url, &u, &error)) << g.url << ": " << error;
    EXPECT_EQ(u.host, g.host) << g.url;
    EXPECT_EQ(u.port, g.port) << g.url;
    EXPECT_EQ(u.hostHeader, g.hostHeader) << g.url;
    EXPECT_EQ(u.target, g.target) << g.url;
  }
  struct Bad {
    const char* url;
    const char* says;
  } bad[] = {
      {"https://example.org/", "only http://"}, {"ftp://example.org/", "must start with http://"},
      {"http://", "no host"},                   {"http://:80/", "no host"},
      {"http://h:0/", "port"},                  {"http://h:65536/", "port"},
      {"http://h:/", "port"},                   {"http://h:8o/", "port"},
      {"http://user@h/", "user information"},   {"http://h/a b", "spaces"},
      {"http://[::1/", "closing ]"},          {"http://[::1]:/", "port"},
      {"http://[::1]x/", "after the IPv6"},
  };
  for (const auto& b : bad) {
    WebhookUrl u;
    std::string error;
    EXPECT_FALSE(ParseWebhookUrl(b.url, &u, &error)) << b.url;
    EXPECT_NE(error.find(b.says), std::string::npos) << b.url << ": " << error;
  }
}

// A webhook receiver on loopback: records each request's body and answers it
// with the status its policy gives for the request's number (0: never answers,
// the connection stays open until the receiver goes) and `answerBytes` of body.
class HookReceiver {
 public:
  explicit HookReceiver(std::function<unsigned(std::size_t)> policy, std::size_t answerBytes = 0)
      : policy_(std::move(policy)), answerBytes_(answerBytes) {
    acceptor_.open(tcp::v4());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    acceptor_.listen();
    Accept();
    thread_ = std::thread([this] { io_.run(); });
  }
  ~HookReceiver() {
    io_.stop();  // what is still pending goes with io_
    thread_.join();
  }
  std::uint16_t Port() const { return acceptor_.local_endpoint().port(); }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(Port()) + "/hook"; }
  // Waits until `n` requests arrived; returns their bodies.
  std::vector<std::string> WaitFor(std::size_t n, std::chrono::milliseconds timeout = 10s) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, timeout, [&] { return bodies_.size() >= n; });
    return bodies_;
  }
  std::vector<std::string> Bodies() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bodies_;
  }
  std::size_t Connections() {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
  }

 private:
  struct Conn {
    explicit Conn(tcp::socket s) : stream(std::move(s)) {}
    beast::tcp_stream stream;
    beast::flat_buffer buffer;
    http::request<http::string_body> request;
    http::response<http::string_body> response;
  };
  void Accept() {
    acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
      if (ec) return;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++connections_;
      }
      Serve(std::make_shared<Conn>(std::move(socket)));
      Accept();
    });
  }
  void Serve(std::shared_ptr<Conn> c) {
    c->request = {};
    http::async_read(c->stream, c->buffer, c->request, [this, c](beast::error_code ec, std::size_t) {
      if (ec) return;
      std::size_t index;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        index = bodies_.size();
        bodies_.push_back(c->request.body());
      }
      cv_.notify_all();
      const unsigned status = policy_(index);
      if (status == 0) {
        held_.push_back(c);
        return;
      }
      c->response = http::response<http::string_body>(static_cast<http::status>(status), 11);
      c->response.keep_alive(true);
      c->response.body().assign(answerBytes_, 'x');
      c->response.prepare_payload();
      http::async_write(c->stream, c->response, [this, c](beast::error_code ec, std::size_t) {
        if (!ec) Serve(c);
      });
    });
  }

  const std::function<unsigned(std::size_t)> policy_;
  const std::size_t answerBytes_;
  asio::io_context io_;
  tcp::acceptor acceptor_{io_};
  std::vector<std::shared_ptr<Conn>> held_;  // receiver thread only
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> bodies_;  // guarded by mutex_
  std::size_t connections_ = 0;      // guarded by mutex_
};

WebhookUrl UrlOf(const HookReceiver& r) {
  WebhookUrl u;
  std::string error;
  EXPECT_TRUE(ParseWebhookUrl(r.Url(), &u, &error)) << error;
  return u;
}

// Collects the webhook's log lines.
struct LogLines {
  std::mutex mutex;
  std::vector<std::string> lines;
  std::function<void(std::string_view)> Sink() {
    return [this](std::string_view line) {
      std::lock_guard<std::mutex> lock(mutex);
      lines.emplace_back(line);
    };
  }
  std::vector<std::string> Get() {
    std::lock_guard<std::mutex> lock(mutex);
    return lines;
  }
};

TEST(EventWebhook, RetriesInOrderThenDropsAndLogsTheDrops) {
  // Event "a": refused three times (given up after its two retries); "b":
  // refused once, then taken; "c": taken at once. One keep-alive connection.
  HookReceiver receiver([](std::size_t i) { return i < 4 ? 503u : 204u; });
  WebhookTiming timing;
  timing.backoff = {10ms, 10ms};
  timing.dropLogInterval = 50ms;
  LogLines log;
  CDeviceEvents events;
  {
    CEventWebhook hook(UrlOf(receiver), log.Sink(), timing);
    hook.Start(events);
    for (const char* e : {"a", "b", "c"}) EXPECT_TRUE(hook.Enqueue(e));
    const std::vector<std::string> expected{"a", "a", "a", "b", "b", "c"};
    EXPECT_EQ(receiver.WaitFor(6), expected);
    ASSERT_TRUE(WaitUntil([&] { return hook.Delivered() == 2; }));
    EXPECT_EQ(hook.Dropped(), 1u);
  }
  EXPECT_EQ(log.Get(), std::vector<std::string>{"Event webhook dropped 1 event"});
}

TEST(EventWebhook, NoAnswerInTimeIsAFailureAndTheQueueHasABound) {
  // The first request is never answered: after the time-out the event goes
  // again on a new connection. Meanwhile the queue (bound 3) turns events away.
  HookReceiver receiver([](std::size_t i) { return i == 0 ? 0u : 200u; });
  WebhookTiming timing;
  timing.timeout = 300ms;
  timing.backoff = {10ms};
  timing.maxQueued = 3;
  timing.dropLogInterval = std::chrono::minutes(1);
  LogLines log;
  CDeviceEvents events;
  CEventWebhook hook(UrlOf(receiver), log.Sink(), timing);
  for (const char* e : {"1", "2", "3"}) EXPECT_TRUE(hook.Enqueue(e));
  EXPECT_FALSE(hook.Enqueue("4"));  // the queue is full
  EXPECT_FALSE(hook.Enqueue("5"));
  hook.Start(events);
  EXPECT_EQ(receiver.WaitFor(4), (std::vector<std::string>{"1", "1", "2", "3"}));
  EXPECT_EQ(receiver.Connections(), 2u);
  EXPECT_EQ(hook.Dropped(), 2u);
  // Both drops come out in one line: the first at once or the two together,
  // never a line per drop within the minute.
  ASSERT_TRUE(WaitUntil([&] { return !log.Get().empty(); }));
  const auto lines = log.Get();
  EXPECT_TRUE(lines == std::vector<std::string>{"Event webhook dropped 2 events"} ||
              lines == std::vector<std::string>{"Event webhook dropped 1 event"})
      << lines[0];
}

TEST(EventWebhook, AFinalTimeOutDropsTheEventAndTheNextOneGoesOut) {
  // No retries: each event gets one attempt that times out while its request
  // is still being answered; the next event then goes on a new connection.
  HookReceiver receiver([](std::size_t) { return 0u; });
  WebhookTiming timing;
  timing.timeout = 100ms;
  timing.backoff = {};
  LogLines log;
  CDeviceEvents events;
  CEventWebhook hook(UrlOf(receiver), log.Sink(), timing);
  for (const char* e : {"a", "b", "c"}) EXPECT_TRUE(hook.Enqueue(e));
  hook.Start(events);
  EXPECT_EQ(receiver.WaitFor(3), (std::vector<std::string>{"a", "b", "c"}));
  ASSERT_TRUE(WaitUntil([&] { return hook.Dropped() == 3; }));
  EXPECT_EQ(receiver.Connections(), 3u);
}

TEST(EventWebhook, AnAcceptedEventWithALongAnswerIsDelivered) {
  HookReceiver receiver([](std::size_t) { return 200u; }, 100 * 1024);  // past what the webhook reads
  WebhookTiming timing;
  timing.backoff = {10ms};
  LogLines log;
  CDeviceEvents events;
  CEventWebhook hook(UrlOf(receiver), log.Sink(), timing);
  hook.Start(events);
  for (const char* e : {"a", "b"}) EXPECT_TRUE(hook.Enqueue(e));
  ASSERT_TRUE(WaitUntil([&] { return hook.Delivered() == 2; }));
  EXPECT_EQ(receiver.Bodies(), (std::vector<std::string>{"a", "b"}));  // none sent twice
  EXPECT_EQ(hook.Dropped(), 0u);
}

TEST_F(AdminTest, DeviceEventsArePostedInOrder) {
  HookReceiver receiver([](std::size_t) { return 200u; });
  Init("", [&](AppOptions& o) { o.eventWebhook = UrlOf(receiver); });
  FakeDevice d;
  Register(d, "HOOK-1");
  d.Close();
  const auto bodies = receiver.WaitFor(3);
  ASSERT_EQ(bodies.size(), 3u);
  std::vector<json> events;
  for (const auto& b : bodies) events.push_back(json::parse(b));
  EXPECT_EQ(events[0]["event"], "connected");
  EXPECT_EQ(events[0]["sn"], "");
  EXPECT_EQ(events[1]["event"], "registered");
  EXPECT_EQ(events[1]["sn"], "HOOK-1");
  EXPECT_EQ(events[2]["event"], "disconnected");
  EXPECT_EQ(events[2]["reason"], 0);
  for (const auto& e : events) {
    EXPECT_EQ(e["socket"], events[0]["socket"]);
    EXPECT_EQ(e["ip"], "127.0.0.1");
    EXPECT_TRUE(e["at"].is_string());
  }
}

TEST_F(AdminTest, ADeadWebhookDropsEventsWithoutSlowingDevices) {
  // The receiver takes the first event and never answers: the webhook waits
  // for it for the whole test while devices come and go; three more wait in
  // its queue and the rest are dropped.
  HookReceiver receiver([](std::size_t) { return 0u; });
  Init("", [&](AppOptions& o) {
    o.eventWebhook = UrlOf(receiver);
    o.webhookTiming.timeout = std::chrono::minutes(5);
    o.webhookTiming.maxQueued = 4;
  });
  EXPECT_EQ(MetricValue(Get("/metrics").body, "velmo_event_webhook_dropped_total"), 0);  // this program's own
  for (int i = 0; i < 20; ++i) {
    FakeDevice d;
    ASSERT_TRUE(d.Connect(devices_));
    ASSERT_TRUE(d.Send(Frame("-36DEAD-" + std::to_string(i))));
    ASSERT_FALSE(d.ReadFrame().empty()) << "device " << i << " got no clock";
  }
  // 20 connections, 20 registrations and 20 disconnections: one in flight, three queued.
  const double dropped = MetricValue(Get("/metrics").body, "velmo_event_webhook_dropped_total");
  EXPECT_GE(dropped, 35);  // the last disconnections may still be on their way
  EXPECT_EQ(receiver.Bodies().size(), 1u);
  ASSERT_TRUE(lines_.WaitCount("Event webhook dropped ", 1));
  EXPECT_EQ(lines_.Count("Event webhook dropped "), 1u);  // at most one line a minute
}

}  // namespace
}  // namespace velmo::test
