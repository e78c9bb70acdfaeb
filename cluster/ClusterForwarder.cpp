#include "cluster/ClusterForwarder.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <map>

namespace velmo {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The other node decides this much before the caller's bound, so its answer
// is back in time.
constexpr milliseconds kReturnMargin{100};
constexpr std::size_t kMaxResponseBody = 64 * 1024 * 1024;

milliseconds Remaining(Clock::time_point deadline) {
  return std::max(milliseconds(0), std::chrono::duration_cast<milliseconds>(deadline - Clock::now()));
}

}  // namespace

// Kept-alive connections to the other nodes, and the requests in flight to
// each, by address. Forwarder thread.
struct CClusterForwarder::Pool {
  struct Idle {
    std::shared_ptr<beast::tcp_stream> stream;
    Clock::time_point since;
  };
  struct Node {
    std::vector<Idle> idle;
    std::size_t active = 0;  // requests on a connection now
    std::deque<std::shared_ptr<Exchange>> waiting;  // for one of the kMaxActive
  };
  // Below the management port's idle time-out (15 s), so an idle connection
  // is seldom one the other node has just closed.
  static constexpr milliseconds kMaxIdleAge{10000};
  static constexpr std::size_t kMaxIdlePerNode = 64;
  // Requests in flight to one node, well below its management port's cap on
  // connections (1024) even with several nodes asking: beyond it they wait
  // here, within their own bound.
  static constexpr std::size_t kMaxActive = 256;

  std::shared_ptr<beast::tcp_stream> Take(const std::string& address) {
    auto& list = nodes[address].idle;
    while (!list.empty()) {
      Idle last = std::move(list.back());
      list.pop_back();
      if (Clock::now() - last.since < kMaxIdleAge) return last.stream;
    }
    return nullptr;
  }
  void Give(const std::string& address, std::shared_ptr<beast::tcp_stream> stream) {
    auto& list = nodes[address].idle;
    if (list.size() < kMaxIdlePerNode) list.push_back(Idle{std::move(stream), Clock::now()});
  }
  // After a request on a connection to `address` timed out: the node may be
  // gone without a word, so its idle connections are not trusted either.
  void Forget(const std::string& address) { nodes[address].idle.clear(); }

  std::map<std::string, Node> nodes;
};

// One request and its response. A kept-alive connection that turns out to
// be closed before any byte of the response came is replaced once by a new
// one: the other node closes an idle connection only between requests, so
// it has not seen the request on it. A new connection closed before any byte
// of the response came did not deliver the request either (the other node
// refused it, or stopped).
class CClusterForwarder::Exchange : public std::enable_shared_from_this<Exchange> {
 public:
  Exchange(asio::io_context& io, std::shared_ptr<Pool> pool, std::string address,
           http::request<http::string_body> request, Clock::time_point deadline, milliseconds connectTimeout,
           AnswerDone done)
      : io_(io),
        pool_(std::move(pool)),
        address_(std::move(address)),
        request_(std::move(request)),
        deadline_(deadline),
        connectTimeout_(connectTimeout),
        done_(std::move(done)),
        queueTimer_(io) {}

  void Start() {
    Pool::Node& node = pool_->nodes[address_];
    if (node.active >= Pool::kMaxActive) {
      // Waits for a slot, but not past its bound.
      node.waiting.push_back(shared_from_this());
      queueTimer_.expires_at(deadline_);
      queueTimer_.async_wait([weak = weak_from_this()](const boost::system::error_code& ec) {
        if (auto self = weak.lock(); self && !ec && !self->active_) self->Finish();
      });
      return;
    }
    Begin();
  }

 private:
  void Begin() {
    active_ = true;
    ++pool_->nodes[address_].active;
    stream_ = pool_->Take(address_);
    reused_ = stream_ != nullptr;
    if (stream_) return Write();
    Connect();
  }

  void Connect() {
    std::string host;
    std::uint16_t port = 0;
    if (!ParseHostPort(address_, &host, &port)) return Finish();
    stream_ = std::make_shared<beast::tcp_stream>(io_);
    stream_->expires_at(std::min(deadline_, Clock::now() + connectTimeout_));
    boost::system::error_code ec;
    const asio::ip::address ip = asio::ip::make_address(host, ec);
    if (!ec) {
      stream_->async_connect(tcp::endpoint(ip, port),
                             [self = shared_from_this()](beast::error_code e) { self->OnConnect(e); });
      return;
    }
    resolver_ = std::make_unique<tcp::resolver>(io_);
    resolver_->async_resolve(host, std::to_string(port),
                             [self = shared_from_this()](beast::error_code e, tcp::resolver::results_type results) {
                               if (e) return self->Finish();
                               self->stream_->async_connect(
                                   results, [self](beast::error_code e2, const tcp::endpoint&) { self->OnConnect(e2); });
                             });
  }

  void OnConnect(beast::error_code ec) {
    if (ec) return Finish();
    stream_->socket().set_option(tcp::no_delay(true), ec);
    Write();
  }

  void Write() {
    stream_->expires_at(deadline_);
    http::async_write(*stream_, request_,
                      [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnWrite(ec); });
  }

  void OnWrite(beast::error_code ec) {
    if (ec) {
      if (ec == beast::error::timeout) pool_->Forget(address_);
      return reused_ && ec != beast::error::timeout ? Retry() : Finish();
    }
    answer_.sent = true;
    parser_.emplace();
    parser_->body_limit(kMaxResponseBody);
    if (request_.method() == http::verb::head) parser_->skip(true);
    http::async_read(*stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code e, std::size_t) { self->OnRead(e); });
  }

  void OnRead(beast::error_code ec) {
    if (ec) {
      const bool closedBefore = (ec == http::error::end_of_stream || ec == asio::error::eof ||
                                 ec == asio::error::connection_reset || ec == asio::error::broken_pipe) &&
                                !parser_->got_some() && buffer_.size() == 0;
      if (closedBefore && reused_) return Retry();
      if (closedBefore) answer_.sent = false;  // refused unread: nothing was delivered
      if (ec == beast::error::timeout) pool_->Forget(address_);
      return Finish();
    }
    auto& response = parser_->get();
    answer_.answered = true;
    answer_.status = response.result_int();
    answer_.contentType = std::string(response[http::field::content_type]);
    answer_.body = std::move(response.body());
    if (response.keep_alive()) {
      stream_->expires_never();
      pool_->Give(address_, std::move(stream_));
    }
    Finish();
  }

  void Retry() {
    reused_ = false;
    answer_ = NodeAnswer{};
    buffer_.clear();
    stream_.reset();
    Connect();
  }

  void Finish() {
    if (stream_) {
      beast::error_code ignored;
      stream_->socket().close(ignored);
    }
    if (active_) {
      active_ = false;
      Pool::Node& node = pool_->nodes[address_];
      --node.active;
      // The next request waiting for this node, if its bound has not passed.
      while (!node.waiting.empty()) {
        std::shared_ptr<Exchange> next = std::move(node.waiting.front());
        node.waiting.pop_front();
        if (next->done_ && !next->active_ && Clock::now() < next->deadline_) {
          next->queueTimer_.cancel();
          next->Begin();
          break;
        }
      }
    } else {
      std::erase(pool_->nodes[address_].waiting, shared_from_this());
    }
    if (done_) {
      AnswerDone done = std::move(done_);
      done_ = nullptr;
      done(answer_);
    }
  }

  asio::io_context& io_;
  std::shared_ptr<Pool> pool_;
  const std::string address_;
  http::request<http::string_body> request_;
  const Clock::time_point deadline_;
  const milliseconds connectTimeout_;
  AnswerDone done_;
  asio::steady_timer queueTimer_;
  std::shared_ptr<beast::tcp_stream> stream_;
  std::unique_ptr<tcp::resolver> resolver_;
  beast::flat_buffer buffer_;
  std::optional<http::response_parser<http::string_body>> parser_;
  bool reused_ = false;
  bool active_ = false;  // holds one of its node's slots
  NodeAnswer answer_;
};

CClusterForwarder::CClusterForwarder(const ClusterConfig& config, CClusterRegistry& registry,
                                     std::function<void(std::string_view)> log)
    : config_(config), registry_(registry), log_(std::move(log)), pool_(std::make_shared<Pool>()) {}

CClusterForwarder::~CClusterForwarder() { Stop(); }

void CClusterForwarder::Start() { io_.Start(); }

void CClusterForwarder::Stop() { io_.Stop(); }

std::string CClusterForwarder::Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

bool CClusterForwarder::Unhex(const std::string& hex, std::string* bytes) {
  auto value = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (hex.size() % 2 != 0) return false;
  std::string out;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int hi = value(hex[i]), lo = value(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
  }
  *bytes = std::move(out);
  return true;
}

void CClusterForwarder::Call(const std::string& address, http::verb method, std::string target, std::string body,
                             milliseconds bound, AnswerDone done) {
  http::request<http::string_body> request{method, target, 11};
  request.set(http::field::host, address);
  request.set("X-Velmo-Cluster-Token", config_.token);
  if (!body.empty() || method == http::verb::post) {
    request.set(http::field::content_type, "application/octet-stream");
    request.body() = std::move(body);
    request.prepare_payload();
  }
  request.keep_alive(true);
  const Clock::time_point deadline = Clock::now() + bound;
  asio::post(io_.Context(), [this, address, request = std::move(request), deadline,
                                         done = std::move(done)]() mutable {
    io_.Owner().Check("CClusterForwarder::Call");
    auto report = [this, address, done = std::move(done)](const NodeAnswer& a) {
      Report(address, a);
      done(a);
    };
    std::make_shared<Exchange>(io_.Context(), pool_, address, std::move(request), deadline,
                               config_.timing.connectTimeout, std::move(report))
        ->Start();
  });
}

void CClusterForwarder::Report(const std::string& address, const NodeAnswer& a) {
  io_.Owner().Check("CClusterForwarder::Report");
  std::string why;
  if (!a.sent) {
    why = "cannot be reached";
  } else if (a.answered && (a.status == 401 || a.status == 403)) {
    why = "refused this node (is the cluster token the same on every node?)";
  } else if (a.answered && a.status >= 400 && a.status != 404) {
    why = "answered " + std::to_string(a.status);
  }
  if (why.empty() || !log_) return;
  const auto now = Clock::now();
  auto last = lastReported_.find(address);
  if (last != lastReported_.end() && now - last->second < kReportInterval) return;
  lastReported_[address] = now;
  log_("Cluster node " + address + " " + why);
}

void CClusterForwarder::ForwardToHolder(const std::string& sn, http::verb method, std::string target,
                                        std::string body, milliseconds bound,
                                        std::function<void(std::optional<NodeAnswer>)> done) {
  const Clock::time_point deadline = Clock::now() + bound;
  registry_.Lookup(sn, [self = shared_from_this(), method, target = std::move(target), body = std::move(body),
                        deadline, done = std::move(done)](std::optional<NodeRecord> holder) mutable {
    if (!holder) return done(std::nullopt);
    self->Call(holder->address, method, std::move(target), std::move(body), Remaining(deadline),
               [done](const NodeAnswer& answer) { done(answer); });
  });
}

void CClusterForwarder::CallHolder(const char* route, const std::string& sn, const std::string& text, bool lineFeed,
                                   Clock::time_point deadline, std::function<void(std::optional<NodeAnswer>)> done) {
  registry_.Lookup(sn, [self = shared_from_this(), route, sn, text, lineFeed, deadline,
                        done = std::move(done)](std::optional<NodeRecord> holder) mutable {
    if (!holder) return done(std::nullopt);
    // The holder decides this much before the caller's bound.
    const milliseconds wait = std::max(milliseconds(0), Remaining(deadline) - kReturnMargin);
    std::string target = std::string(route) + "?sn=" + Hex(sn) + "&lf=" + (lineFeed ? "1" : "0") +
                         "&wait_ms=" + std::to_string(wait.count());
    self->Call(holder->address, http::verb::post, std::move(target), text, Remaining(deadline),
               [done](const NodeAnswer& a) { done(a); });
  });
}

void CClusterForwarder::SendCommand(const std::string& sn, const std::string& text, bool lineFeed,
                                    milliseconds bound, platform::GatePtr home,
                                    std::function<void(const RemoteCommandResult&)> done) {
  CallHolder("/v1/cluster/command", sn, text, lineFeed, Clock::now() + bound,
             [home, done = std::move(done)](std::optional<NodeAnswer> a) {
               RemoteCommandResult r;
               if (a && a->answered && a->status == 200) {
                 r.held = a->body != "offline";
                 r.taken = a->body == "taken";
               } else if (a && a->sent && !a->answered) {
                 r.held = true;  // it reached the node but no answer came in time: it may wait there
               }
               home->Post([done, r] { done(r); });
             });
}

void CClusterForwarder::SendQuery(const std::string& sn, const std::string& text, bool lineFeed, milliseconds bound,
                                  platform::GatePtr home, std::function<void(const RemoteQueryResult&)> done) {
  CallHolder("/v1/cluster/query", sn, text, lineFeed, Clock::now() + bound,
             [home, done = std::move(done)](std::optional<NodeAnswer> a) {
               RemoteQueryResult r;
               constexpr std::string_view kAnswered = "answered\n";
               if (a && a->answered && a->status == 200) {
                 r.held = a->body.rfind("offline", 0) != 0;
                 if (a->body.compare(0, kAnswered.size(), kAnswered) == 0) {
                   const std::size_t n = std::min(a->body.size() - kAnswered.size(), kDeviceRecordBytes);
                   std::memcpy(r.answer.record.data(), a->body.data() + kAnswered.size(), n);
                   r.answer.length = n;
                   r.answer.taken = r.answer.answered = true;
                 }
               } else if (a && a->sent && !a->answered) {
                 r.held = true;
               }
               home->Post([done, r] { done(r); });
             });
}

void CClusterForwarder::FetchAll(const std::string& target, milliseconds bound,
                                 std::function<void(std::vector<std::pair<NodeRecord, NodeAnswer>>)> done) {
  registry_.ReadNodes([self = shared_from_this(), target, bound, done = std::move(done)](
                          std::vector<NodeRecord> nodes) mutable {
    std::vector<NodeRecord> others;
    for (NodeRecord& n : nodes) {
      if (n.id != self->registry_.NodeId()) others.push_back(std::move(n));
    }
    struct Gather {
      std::vector<std::pair<NodeRecord, NodeAnswer>> answers;
      std::size_t waiting = 0;  // forwarder thread
      std::function<void(std::vector<std::pair<NodeRecord, NodeAnswer>>)> done;
    };
    auto gather = std::make_shared<Gather>();
    gather->done = std::move(done);
    gather->waiting = others.size();
    gather->answers.resize(others.size());
    if (others.empty()) {
      asio::post(self->io_.Context(), [gather] { gather->done({}); });
      return;
    }
    for (std::size_t i = 0; i < others.size(); ++i) {
      gather->answers[i].first = others[i];
      self->Call(others[i].address, http::verb::get, target, "", bound, [gather, i](const NodeAnswer& a) {
        gather->answers[i].second = a;
        if (--gather->waiting == 0) gather->done(std::move(gather->answers));
      });
    }
  });
}

}  // namespace velmo
