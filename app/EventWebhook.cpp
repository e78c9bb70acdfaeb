#include "app/EventWebhook.h"

#include <atomic>
#include <charconv>
#include <optional>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "admin/AdminRoutes.h"
#include "platform/HostPort.h"
#include "platform/ThreadCheck.h"
#include "socketserver/DeviceEvents.h"

namespace velmo {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

bool ParseWebhookUrl(std::string_view url, WebhookUrl* out, std::string* error) {
  constexpr std::string_view kScheme = "http://";
  auto lower = [](std::string_view s) {
    std::string r(s);
    for (char& c : r) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    return r;
  };
  if (url.size() < kScheme.size() || lower(url.substr(0, kScheme.size())) != kScheme) {
    *error = lower(url.substr(0, 8)) == "https://" ? "only http:// URLs are supported (no TLS)"
                                                     : "the URL must start with http://";
    return false;
  }
  std::string_view rest = url.substr(kScheme.size());
  const std::size_t slash = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, slash);
  std::string_view target = slash == std::string_view::npos ? "" : rest.substr(slash);
  if (target.find('#') != std::string_view::npos) target = target.substr(0, target.find('#'));
  for (char c : url) {
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) {
      *error = "the URL must not contain spaces or control characters";
      return false;
    }
  }
  if (authority.find('@') != std::string_view::npos) {
    *error = "user information in the URL is not supported";
    return false;
  }
  WebhookUrl u;
  std::optional<std::uint16_t> port;
  if (!ParseAuthority(authority, &u.host, &port, error)) {
    *error = "the URL: " + *error;
    return false;
  }
  if (port) u.port = std::to_string(*port);
  u.target = target.empty() || target[0] != '/' ? "/" + std::string(target) : std::string(target);
  u.hostHeader = std::string(authority);
  *out = std::move(u);
  return true;
}

// Everything below runs on the webhook thread, except Enqueue and NoteDrop.
struct CEventWebhook::Impl {
  Impl(WebhookUrl u, std::function<void(std::string_view)> l, WebhookTiming t)
      : url(std::move(u)), log(std::move(l)), timing(std::move(t)) {}

  const WebhookUrl url;
  const std::function<void(std::string_view)> log;
  const WebhookTiming timing;

  asio::io_context io;  // first in, last out: the handlers below die with it
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  tcp::resolver resolver{io};
  beast::tcp_stream stream{io};
  bool connected = false;
  asio::steady_timer deadline{io};
  asio::steady_timer retry{io};
  asio::steady_timer dropLog{io};
  beast::flat_buffer buffer;
  std::optional<http::request<http::string_body>> request;
  std::optional<http::response_parser<http::string_body>> parser;
  std::uint64_t generation = 0;  // an attempt's callbacks with another generation are stale
  std::size_t attempt = 0;       // retries so far for the event in front
  bool busy = false;             // an event in front is being delivered
  std::optional<Clock::time_point> lastDropLog;

  std::mutex mutex;
  std::deque<std::string> queue;  // guarded by mutex; the front is the one being delivered
  std::atomic<std::uint64_t> dropsUnlogged{0};
  std::atomic<std::uint64_t> delivered{0};
  std::atomic<std::uint64_t> dropped{0};
  platform::CThreadOwner owner;  // the webhook thread

  bool Enqueue(std::string json) {
    bool wasEmpty = false;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (queue.size() >= timing.maxQueued) {
        NoteDrop();
        return false;
      }
      wasEmpty = queue.empty();
      queue.push_back(std::move(json));
    }
    if (wasEmpty) asio::post(io, [this] { Kick(); });
    return true;
  }

  // Any thread: counts one dropped event; the first since the last log line
  // schedules the next one.
  void NoteDrop() {
    dropped.fetch_add(1, std::memory_order_relaxed);
    if (dropsUnlogged.fetch_add(1) == 0) asio::post(io, [this] { ScheduleDropLog(); });
  }

  void ScheduleDropLog() {
    const Clock::time_point now = Clock::now();
    const Clock::time_point due = lastDropLog ? std::max(now, *lastDropLog + timing.dropLogInterval) : now;
    dropLog.expires_at(due);
    dropLog.async_wait([this](beast::error_code ec) {
      if (ec) return;
      lastDropLog = Clock::now();
      const std::uint64_t n = dropsUnlogged.exchange(0);
      if (n > 0) log("Event webhook dropped " + std::to_string(n) + (n == 1 ? " event" : " events"));
    });
  }

  void Kick() {
    owner.Check("CEventWebhook: delivery");
    if (busy) return;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (queue.empty()) return;
      request.emplace(http::verb::post, url.target, 11);
      request->body() = queue.front();
    }
    request->set(http::field::host, url.hostHeader);
    request->set(http::field::user_agent, "Velmo");
    request->set(http::field::content_type, "application/json");
    request->keep_alive(true);
    request->prepare_payload();
    busy = true;
    attempt = 0;
    Attempt();
  }

  void Attempt() {
    const std::uint64_t gen = ++generation;
    deadline.expires_after(timing.timeout);
    deadline.async_wait([this, gen](beast::error_code ec) {
      if (!ec) Failed(gen);  // no whole answer in time
    });
    if (connected) {
      Send(gen, true);
    } else {
      Connect(gen);
    }
  }

  void Connect(std::uint64_t gen) {
    beast::error_code notAnAddress;
    const asio::ip::address address = asio::ip::make_address(url.host, notAnAddress);
    if (!notAnAddress) {  // an address needs no resolver (nor its thread)
      stream.async_connect(tcp::endpoint(address, static_cast<std::uint16_t>(std::stoi(url.port))),
                           [this, gen](beast::error_code ec) { Connected(gen, ec); });
      return;
    }
    resolver.async_resolve(url.host, url.port, [this, gen](beast::error_code ec, tcp::resolver::results_type found) {
      if (gen != generation) return;
      if (ec) return Failed(gen);
      stream.async_connect(found, [this, gen](beast::error_code ec, const tcp::endpoint&) { Connected(gen, ec); });
    });
  }

  void Connected(std::uint64_t gen, beast::error_code ec) {
    if (gen != generation) return;
    if (ec) return Failed(gen);
    connected = true;
    Send(gen, false);
  }

  // `reused`: the connection served an earlier event; the peer may have
  // closed it since, which costs no retry.
  void Send(std::uint64_t gen, bool reused) {
    http::async_write(stream, *request, [this, gen, reused](beast::error_code ec, std::size_t) {
      if (gen != generation) return;
      if (ec) return reused ? Reconnect(gen) : Failed(gen);
      buffer.clear();
      parser.emplace();
      parser->header_limit(8 * 1024);
      parser->body_limit(64 * 1024);
      http::async_read(stream, buffer, *parser, [this, gen, reused](beast::error_code ec, std::size_t) {
        if (gen != generation) return;
        // A kept-alive connection the receiver closed or reset before
        // answering: a new connection, no retry spent.
        if (ec && reused && !parser->got_some()) return Reconnect(gen);
        const bool headDone = parser->is_header_done();
        const bool success = headDone && parser->get().result_int() / 100 == 2;
        if (ec == http::error::body_limit && success) {  // taken; the rest of its long answer is not needed
          CloseStream();
          return Delivered(gen);
        }
        if (ec || !success) return Failed(gen);
        if (!parser->get().keep_alive()) CloseStream();
        Delivered(gen);
      });
    });
  }

  void Reconnect(std::uint64_t gen) {
    CloseStream();
    Connect(gen);
  }

  void CloseStream() {
    beast::error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream.close();
    connected = false;
  }

  void Failed(std::uint64_t gen) {
    if (gen != generation) return;
    ++generation;  // whatever is still pending for this attempt is stale
    deadline.cancel();
    resolver.cancel();
    CloseStream();
    if (attempt < timing.backoff.size()) {
      retry.expires_after(timing.backoff[attempt++]);
      retry.async_wait([this](beast::error_code ec) {
        if (!ec) Attempt();
      });
      return;
    }
    NoteDrop();
    // After the completions of what CloseStream cancelled, which are queued
    // now: the stream allows a new operation only once they have run.
    asio::post(io, [this] { Next(); });
  }

  void Delivered(std::uint64_t gen) {
    ++generation;
    deadline.cancel();
    delivered.fetch_add(1, std::memory_order_relaxed);
    Next();
  }

  // The front is done with: on to the next event.
  void Next() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      queue.pop_front();
    }
    busy = false;
    Kick();
  }
};

CEventWebhook::CEventWebhook(WebhookUrl url, std::function<void(std::string_view)> log, WebhookTiming timing)
    : impl_(std::make_unique<Impl>(std::move(url), std::move(log), std::move(timing))) {}

CEventWebhook::~CEventWebhook() { Stop(); }

void CEventWebhook::Start(CDeviceEvents& events) {
  if (thread_.joinable()) return;
  thread_ = std::thread([impl = impl_.get()] {
    platform::NameCurrentThread("velmo-webhook");
    impl->owner.Bind();
    impl->io.run();
  });
  events_ = &events;
  subscription_ = events.Subscribe([impl = impl_.get()](const DeviceEvent& e) { impl->Enqueue(DeviceEventText(e)); });
}

std::uint64_t CEventWebhook::Delivered() const { return impl_->delivered.load(std::memory_order_relaxed); }

std::uint64_t CEventWebhook::Dropped() const { return impl_->dropped.load(std::memory_order_relaxed); }

void CEventWebhook::Stop() {
  if (subscription_ != 0) events_->Unsubscribe(subscription_);
  subscription_ = 0;
  impl_->io.stop();
  if (thread_.joinable()) thread_.join();
}

bool CEventWebhook::Enqueue(std::string json) { return impl_->Enqueue(std::move(json)); }

}  // namespace velmo
