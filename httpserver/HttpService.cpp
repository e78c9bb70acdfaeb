#include "httpserver/HttpService.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <cerrno>

namespace velmo {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

// True when a read ended because the client went, stayed silent past the
// time-out, or the service stopped: the connection just closes, unanswered.
bool ClientGone(const boost::system::error_code& ec) {
  return ec == http::error::end_of_stream || ec == beast::error::timeout || ec == asio::error::operation_aborted ||
         ec == asio::error::connection_reset || ec == asio::error::eof;
}

bool OutOfDescriptors(const boost::system::error_code& ec) {
  return ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space || ec == asio::error::no_memory ||
         ec.value() == ENFILE;
}

}  // namespace

CHttpService::CHttpService(std::string threadName, HttpLimits limits)
    : limits_(limits), thread_(std::move(threadName)) {}

CHttpService::~CHttpService() {
  Stop();
  // The thread has ended: what it left goes now, while its context stands.
  pending_.clear();
  acceptor_.reset();
  backoff_.reset();
}

std::string CHttpService::LastError() const {
  std::lock_guard<std::mutex> lock(errorLock_);
  return lastError_;
}

bool CHttpService::Start(const std::string& address, std::uint16_t port, std::function<void()> starting,
                         std::function<void(const std::string& error)> failed) {
  if (started_) return !stopped_;
  started_ = true;
  if (!thread_.Start()) {
    std::lock_guard<std::mutex> lock(errorLock_);
    lastError_ = "no thread could be started for it";
    return false;
  }
  asio::post(thread_.Context(), [this, address, port, starting = std::move(starting), failed = std::move(failed)] {
    if (starting) starting();
    Open(address, port, failed);
  });
  return true;
}

void CHttpService::Open(const std::string& address, std::uint16_t port,
                        const std::function<void(const std::string&)>& failed) {
  thread_.Owner().Check("CHttpService::Open");
  std::string error;
  boost::system::error_code ec;
  const std::string host = address.empty() ? "0.0.0.0" : address == "localhost" ? "127.0.0.1" : address;
  const asio::ip::address ip = asio::ip::make_address(host, ec);
  acceptor_.emplace(thread_.Context());
  if (ec) {
    error = "address " + address + ": " + ec.message();
  } else {
    const tcp::endpoint endpoint(ip, port);
    acceptor_->open(endpoint.protocol(), ec);
    if (ec) error = "socket: " + ec.message();
    if (error.empty()) {
      acceptor_->set_option(asio::socket_base::reuse_address(true), ec);
      acceptor_->bind(endpoint, ec);
      if (ec) error = "bind: " + ec.message();
    }
    if (error.empty()) {
      acceptor_->listen(asio::socket_base::max_listen_connections, ec);
      if (ec) error = "listen: " + ec.message();
    }
  }
  if (!error.empty()) {
    acceptor_.reset();
    {
      std::lock_guard<std::mutex> lock(errorLock_);
      lastError_ = error;
    }
    if (failed) failed(error);
    return;
  }
  boundPort_ = acceptor_->local_endpoint().port();
  backoff_.emplace(thread_.Context());
  OnListening();
  Accept();
}

void CHttpService::Accept() {
  acceptor_->async_accept([this](boost::system::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || stopping_) return;
    if (OutOfDescriptors(ec)) {
      // The waiting client stays in the backlog; try again shortly instead of spinning.
      backoff_->expires_after(std::chrono::milliseconds(100));
      backoff_->async_wait([this](const boost::system::error_code& e) {
        if (!e && !stopping_) Accept();
      });
      return;
    }
    if (!ec) {
      if (connections_.load() >= limits_.maxConnections) {
        socket.close(ec);  // over the cap: refused at once
      } else {
        socket.set_option(tcp::no_delay(true), ec);
        Accepted(std::move(socket))->Start();
      }
    }
    Accept();  // a peer that gave up before we took it does not end the service
  });
}

void CHttpService::Stop() {
  if (!started_ || stopped_) return;
  stopped_ = true;
  // Runs before the thread stops (the thread's stop is queued after it).
  asio::post(thread_.Context(), [this] {
    stopping_ = true;
    boost::system::error_code ignored;
    if (acceptor_) acceptor_->close(ignored);
    if (backoff_) backoff_->cancel();
    OnStopping();
  });
  thread_.Stop();
}

void CHttpService::After(std::chrono::milliseconds delay, std::function<void()> fn) {
  thread_.Gate()->Post([this, delay, fn = std::move(fn)] {
    auto timer = std::make_shared<asio::steady_timer>(thread_.Context(), delay);
    timer->async_wait([timer, fn](const boost::system::error_code& ec) {
      if (!ec) fn();
    });
  });
}

void CHttpService::Keep(const std::shared_ptr<CHttpConnection>& connection) { pending_.insert(connection); }

void CHttpService::Release(const std::shared_ptr<CHttpConnection>& connection) { pending_.erase(connection); }

CHttpConnection::CHttpConnection(CHttpService& service, tcp::socket socket)
    : service_(service), stream_(std::move(socket)) {
  ++service_.connections_;
}

CHttpConnection::~CHttpConnection() { --service_.connections_; }

void CHttpConnection::ReadRequest() {
  parser_.emplace();
  parser_->header_limit(static_cast<std::uint32_t>(service_.limits_.maxHeadBytes));
  parser_->body_limit(service_.limits_.maxBodyBytes);
  stream_.expires_after(service_.limits_.requestTimeout);
  http::async_read(stream_, buffer_, *parser_,
                   [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnRead(ec); });
}

void CHttpConnection::OnRead(const boost::system::error_code& ec) {
  service_.thread_.Owner().Check("CHttpConnection::OnRead");
  if (ec == http::error::header_limit) return Write(FailureAnswer(ReadFailure::HeadTooLarge), false);
  if (ec == http::error::body_limit) return Write(FailureAnswer(ReadFailure::BodyTooLong), false);
  if (ClientGone(ec)) return Close();
  if (ec) return Write(FailureAnswer(ReadFailure::BadRequest), false);
  stream_.expires_never();  // the handler may wait for a device; the answer restarts the clock
  service_.Keep(shared_from_this());
  OnRequest(parser_->get());
}

void CHttpConnection::Write(std::string bytes, bool keepAlive) {
  out_ = std::move(bytes);
  stream_.expires_after(service_.limits_.requestTimeout);
  asio::async_write(stream_, asio::buffer(out_),
                    [self = shared_from_this(), keepAlive](beast::error_code ec, std::size_t) {
                      self->service_.Release(self);
                      if (ec || !keepAlive || self->service_.Stopping()) return self->Close();
                      self->ReadRequest();
                    });
}

void CHttpConnection::Close() {
  beast::error_code ignored;
  stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
  stream_.close();
  service_.Release(shared_from_this());
}

}  // namespace velmo
