// CHttpService and CHttpConnection: what Velmo's two HTTP servers (the API,
// HttpServer.h; the management port, admin/AdminServer.h) share, on
// Boost.Beast over Asio.
//
//   CHttpService     one named thread ("velmo-http", "velmo-admin") that owns
//                    an io_context; the listener; accepting for ever, without
//                    spinning while the process is out of descriptors and
//                    without taking more connections than the cap; and the
//                    connections whose request waits for its answer
//   CHttpConnection  one client connection: reads one request at a time
//                    within the limits (a whole request within the time-out,
//                    the head and the body bounded), hands it to its server,
//                    writes the answer as raw bytes in one write, then reads
//                    the next request (keep-alive)
//
// A request is answered whenever its handler says so: the service keeps the
// connection alive until then, never the handler, so a wait for a device
// never owns a connection, and a client that went away costs nothing more.
//
// Thread safety: Start and Stop belong to the owner (not the service's
// thread); BoundPort, LastError, Home, After and Owner may be used from any
// thread; everything else runs on the service's thread (checked).
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>

#include "platform/IoThread.h"

namespace velmo {

struct HttpLimits {
  std::size_t maxHeadBytes = 8 * 1024;
  std::size_t maxBodyBytes = 64 * 1024;
  std::chrono::milliseconds requestTimeout{15000};
  std::size_t maxConnections = 16384;
};

class CHttpConnection;

class CHttpService {
 public:
  // `threadName` names the service's thread (up to 15 bytes).
  CHttpService(std::string threadName, HttpLimits limits);
  virtual ~CHttpService();  // the derived server calls Stop() in its own destructor
  CHttpService(const CHttpService&) = delete;
  CHttpService& operator=(const CHttpService&) = delete;

  // Starts the service's thread, which runs `starting` (if set), then opens
  // the listener on `address` ("" or "0.0.0.0": every IPv4 interface;
  // "localhost": 127.0.0.1) and `port` (0: any) and accepts. When the
  // listener cannot be opened, `failed` runs there with what failed
  // ("bind: Address already in use"), and the service accepts nothing.
  // Returns false when no thread could be started (nothing runs then).
  bool Start(const std::string& address, std::uint16_t port, std::function<void()> starting = nullptr,
             std::function<void(const std::string& error)> failed = nullptr);
  // Ends the service: the listener and every connection close, requests
  // still waiting are not answered, answers on their way are dropped.
  // Idempotent.
  void Stop();

  // Before Start: the limits for the connections (the defaults otherwise).
  void SetLimits(const HttpLimits& limits) { limits_ = limits; }
  // The port actually bound (0 until the service listens).
  std::uint16_t BoundPort() const { return boundPort_.load(); }
  std::string LastError() const;
  const HttpLimits& Limits() const { return limits_; }
  // The service's thread, as a home for waits that answer there.
  platform::ThreadHome Home() const { return thread_.Home(); }
  const platform::CThreadOwner& Owner() const { return thread_.Owner(); }
  // Any thread: runs `fn` on the service's thread after `delay` (not at all
  // once the service has stopped).
  void After(std::chrono::milliseconds delay, std::function<void()> fn);
  // Service thread: the service is stopping (connections close after their
  // answer instead of reading the next request).
  bool Stopping() const { return stopping_; }

 protected:
  // Service thread: a new connection, counted against the cap.
  virtual std::shared_ptr<CHttpConnection> Accepted(boost::asio::ip::tcp::socket socket) = 0;
  // Service thread: the listener is open.
  virtual void OnListening() {}
  // Service thread: the service is stopping (before its connections close).
  virtual void OnStopping() {}

 private:
  friend class CHttpConnection;
  void Open(const std::string& address, std::uint16_t port, const std::function<void(const std::string&)>& failed);
  void Accept();
  // The connection waits for its answer / has it.
  void Keep(const std::shared_ptr<CHttpConnection>& connection);
  void Release(const std::shared_ptr<CHttpConnection>& connection);

  HttpLimits limits_;  // set before Start
  std::atomic<std::size_t> connections_{0};  // open connections (each counts itself while it lives)
  std::atomic<std::uint16_t> boundPort_{0};
  mutable std::mutex errorLock_;
  std::string lastError_;  // guarded by errorLock_
  platform::CIoThread thread_;  // after the counters above: its context's handlers may hold connections
  // Service thread.
  std::optional<boost::asio::ip::tcp::acceptor> acceptor_;
  std::optional<boost::asio::steady_timer> backoff_;  // accepting pauses while out of descriptors
  std::unordered_set<std::shared_ptr<CHttpConnection>> pending_;
  bool stopping_ = false;
  bool started_ = false;  // owner
  bool stopped_ = false;  // owner
};

class CHttpConnection : public std::enable_shared_from_this<CHttpConnection> {
 public:
  using Message = boost::beast::http::request<boost::beast::http::string_body>;

  CHttpConnection(CHttpService& service, boost::asio::ip::tcp::socket socket);
  virtual ~CHttpConnection();
  CHttpConnection(const CHttpConnection&) = delete;
  CHttpConnection& operator=(const CHttpConnection&) = delete;

  // Service thread: reads the first request.
  void Start() { ReadRequest(); }

 protected:
  enum class ReadFailure { HeadTooLarge, BodyTooLong, BadRequest };

  // Service thread: a whole request. The connection waits (kept by its
  // service) until the answer is written with Write.
  virtual void OnRequest(Message& message) = 0;
  // The answer to a request that did not arrive whole within the limits;
  // the connection closes after it.
  virtual std::string FailureAnswer(ReadFailure failure) = 0;

  // Service thread: writes `bytes` (the whole answer), then reads the next
  // request when `keepAlive`, or closes.
  void Write(std::string bytes, bool keepAlive);
  // Service thread: closes the connection (unanswered).
  void Close();
  // Service thread: the connection no longer reads requests; it stays open
  // and kept by the service until Close (an event stream).
  void Hold() { stream_.expires_never(); }

  CHttpService& Service() const { return service_; }
  boost::beast::tcp_stream& Stream() { return stream_; }

 private:
  void ReadRequest();
  void OnRead(const boost::system::error_code& ec);

  CHttpService& service_;
  boost::beast::tcp_stream stream_;
  boost::beast::flat_buffer buffer_;
  std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
  std::string out_;  // the answer being written
};

}  // namespace velmo
