#include "socketserver/AcceptSocket.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cerrno>
#include <chrono>
#include <future>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <deque>
#include <set>

#include "platform/Socket.h"
#include "socketserver/ProxyHeader.h"
#include "socketserver/IoWorker.h"
#include "socketserver/ServerClientSocket.h"
#include "socketserver/SocketServer.h"

namespace velmo {

namespace asio = boost::asio;

namespace {
constexpr int kAcceptsPerTurn = 64;  // then the connections of the I/O thread get their turn
}

// The accepting side, on its I/O thread.
class CAcceptSocket::CAcceptor : public std::enable_shared_from_this<CAcceptor> {
 public:
  CAcceptor(CIoWorker& worker, platform::MessageLoop& loop, platform::TargetId notify, const ServerTimings& timings,
            bool proxyProtocol)
      : proxy_(proxyProtocol),
        io_(worker.Thread().ContextRef()),
        gate_(worker.Thread().Gate()),
        owner_(worker.Thread().Owner()),
        loop_(loop),
        notify_(notify),
        timings_(timings),
        acceptor_(*io_),
        timer_(*io_),
        readyTimer_(*io_) {}

  // Window thread, before the acceptor runs: takes over the listening socket.
  bool Assign(Socket fd, std::string* error) {
    boost::system::error_code ec;
    acceptor_.assign(asio::ip::tcp::v4(), fd, ec);
    if (ec) {
      *error = "listen: " + ec.message();
      return false;
    }
    fd_ = fd;
    spare_ = platform::OpenSpareDescriptor();
    return true;
  }

  const platform::CThreadOwner& Owner() const { return owner_; }
  const platform::GatePtr& Gate() const { return gate_; }

  // I/O thread.
  void AcceptSome() {
    owner_.Check("CAcceptor::AcceptSome");
    if (stopped_) return;
    if (pending_ && !Deliver()) return RetryLater(timings_.postRetry);
    if (errorPending_) return PostError();
    for (int turn = 0; turn < kAcceptsPerTurn; ++turn) {
      auto info = std::make_unique<AcceptInfo>();
      int err = 0;
      switch (platform::Accept(fd_, &info->socket, &info->address, &err)) {
        case platform::AcceptStatus::Ok:
          if (proxy_) {
            ReadProxyHeader(std::make_shared<ProxyWait>(std::move(info), *io_, timings_.proxyHeaderWait));
            continue;
          }
          pending_ = std::move(info);
          if (!Deliver()) return RetryLater(timings_.postRetry);
          continue;
        case platform::AcceptStatus::WouldBlock:
          return WaitReadable();
        case platform::AcceptStatus::Transient:
          continue;  // the peer gave up before we took it, or a signal: listening goes on
        case platform::AcceptStatus::Exhausted:
          RefuseOne(err);
          return RetryLater(timings_.acceptBackoff);
        case platform::AcceptStatus::Fatal:
          errorPending_ = true;
          return PostError();
      }
    }
    asio::post(*io_, [weak = weak_from_this()] {
      if (auto self = weak.lock()) self->AcceptSome();
    });
  }

  // I/O thread: accepting ends; the listening socket and anything held back are closed.
  void Shutdown() {
    stopped_ = true;
    timer_.cancel();
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    platform::CloseSocket(spare_);
    spare_ = -1;
    if (pending_) platform::CloseSocket(pending_->socket);
    pending_.reset();
    readyTimer_.cancel();
    for (auto& r : ready_) platform::CloseSocket(r->socket);
    ready_.clear();
    for (const auto& w : waits_) {
      w->poll.cancel();
      platform::CloseSocket(w->info->socket);
    }
    waits_.clear();
  }

 private:
  // Posts the accepted connection to the window thread. False while its queue is full.
  bool Deliver() {
    auto* record = pending_.get();
    switch (loop_.Post(notify_, WM_NEW_CONNECTION, reinterpret_cast<std::uintptr_t>(record), 0)) {
      case platform::PostResult::Ok:
        pending_.release();  // the window thread owns it now
        return true;
      case platform::PostResult::QueueFull:
        return false;
      case platform::PostResult::NoTarget:
        platform::CloseSocket(pending_->socket);
        pending_.reset();
        return true;
    }
    return true;
  }

  void PostError() {
    if (loop_.Post(notify_, WM_ACCEPT_ERROR, 0, 0) == platform::PostResult::QueueFull) {
      return RetryLater(timings_.postRetry);
    }
    errorPending_ = false;
    stopped_ = true;  // the window thread stops the listener on this message
  }

  // Out of descriptors: give up the spare one for a moment to take the waiting
  // connection and close it, so its peer is refused cleanly. Otherwise (no
  // spare, no memory) the connection waits in the backlog.
  void RefuseOne(int err) {
    if (spare_ >= 0 && platform::AcceptPending(fd_)) {
      platform::CloseSocket(spare_);
      int fd = platform::kInvalidSocket;
      platform::Ipv4SockAddr peer;
      int ignored = 0;
      if (platform::Accept(fd_, &fd, &peer, &ignored) == platform::AcceptStatus::Ok) platform::CloseSocket(fd);
      spare_ = platform::OpenSpareDescriptor();
    }
    auto now = std::chrono::steady_clock::now();
    if (now - lastNotice_ >= std::chrono::seconds(1)) {  // at most one line a second
      lastNotice_ = now;
      loop_.Post(notify_, WM_ACCEPT_REFUSED, static_cast<std::uintptr_t>(err), 0);
    }
  }

  // A connection whose PROXY header has not arrived whole yet.
  struct ProxyWait {
    ProxyWait(std::unique_ptr<AcceptInfo> i, asio::io_context& io, std::chrono::milliseconds wait)
        : info(std::move(i)), poll(io), deadline(std::chrono::steady_clock::now() + wait) {}
    std::unique_ptr<AcceptInfo> info;
    asio::steady_timer poll;
    std::chrono::steady_clock::time_point deadline;
  };

  // Looks at what the connection has sent, without taking it: a whole header
  // is then read off the socket (the device's own bytes stay for the
  // connection), the address it names replaces the balancer's, and the
  // connection goes to the window thread. A malformed header, a closed
  // connection or the deadline closes it with a notice. Else looks again in
  // a moment (the socket stays readable while bytes wait: no busy waiting).
  void ReadProxyHeader(const std::shared_ptr<ProxyWait>& wait) {
    waits_.insert(wait);
    std::uint8_t bytes[kMaxProxyHeader];
    const ssize_t n = recv(wait->info->socket, bytes, sizeof bytes, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) return RefuseProxy(wait, "it closed before its PROXY header");
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      return RefuseProxy(wait, "reading its PROXY header: " + platform::ErrorText(errno));
    }
    ProxyHeader header;
    std::string why;
    switch (n < 0 ? ProxyParse::NeedMore : ParseProxyHeader(bytes, static_cast<std::size_t>(n), &header, &why)) {
      case ProxyParse::Malformed:
        return RefuseProxy(wait, why);
      case ProxyParse::Done:
        if (recv(wait->info->socket, bytes, header.length, MSG_DONTWAIT) != static_cast<ssize_t>(header.length)) {
          return RefuseProxy(wait, "its PROXY header could not be read");
        }
        if (header.hasAddress) {
          if (header.v6) {
            wait->info->addressText = header.ip;
          } else {
            inet_pton(AF_INET, header.ip.c_str(), &wait->info->address.addrNet);
          }
          wait->info->address.portNet = htons(header.port);
        }
        waits_.erase(wait);
        ready_.push_back(std::move(wait->info));
        return DeliverReady();
      case ProxyParse::NeedMore:
        break;
    }
    if (std::chrono::steady_clock::now() >= wait->deadline) return RefuseProxy(wait, "no PROXY header in time");
    wait->poll.expires_after(std::chrono::milliseconds(10));
    wait->poll.async_wait([weak = weak_from_this(), wait](const boost::system::error_code& ec) {
      auto self = weak.lock();
      if (self && !ec && !self->stopped_) self->ReadProxyHeader(wait);
    });
  }

  void RefuseProxy(const std::shared_ptr<ProxyWait>& wait, const std::string& why) {
    waits_.erase(wait);
    const AcceptInfo& info = *wait->info;
    auto* text = new std::string("closed the connection from " + PeerText(info) + ": " + why);
    platform::CloseSocket(info.socket);
    if (loop_.Post(notify_, WM_PROXY_REFUSED, reinterpret_cast<std::uintptr_t>(text), 0) != platform::PostResult::Ok) {
      delete text;  // a full window queue: the notice is lost, the connection is closed all the same
    }
  }

  // Hands the connections whose headers were read to the window thread, in
  // order; while its queue is full, tries again later.
  void DeliverReady() {
    while (!ready_.empty()) {
      auto* record = ready_.front().get();
      const auto r = loop_.Post(notify_, WM_NEW_CONNECTION, reinterpret_cast<std::uintptr_t>(record), 0);
      if (r == platform::PostResult::QueueFull) {
        readyTimer_.expires_after(timings_.postRetry);
        readyTimer_.async_wait([weak = weak_from_this()](const boost::system::error_code& ec) {
          auto self = weak.lock();
          if (self && !ec && !self->stopped_) self->DeliverReady();
        });
        return;
      }
      if (r == platform::PostResult::Ok) {
        ready_.front().release();  // the window thread owns it now
      } else {
        platform::CloseSocket(record->socket);
      }
      ready_.pop_front();
    }
  }

  // Handlers hold the acceptor weakly: it holds their context.
  void WaitReadable() {
    acceptor_.async_wait(asio::ip::tcp::acceptor::wait_read, [weak = weak_from_this()](const boost::system::error_code& ec) {
      auto self = weak.lock();
      if (self && !ec) self->AcceptSome();
    });
  }

  void RetryLater(std::chrono::milliseconds delay) {
    timer_.expires_after(delay);
    timer_.async_wait([weak = weak_from_this()](const boost::system::error_code& ec) {
      auto self = weak.lock();
      if (self && !ec) self->AcceptSome();
    });
  }

  const bool proxy_;  // connections start with a PROXY header
  const std::shared_ptr<asio::io_context> io_;  // first: outlives the acceptor and timers
  const platform::GatePtr gate_;
  const platform::CThreadOwner& owner_;
  platform::MessageLoop& loop_;
  const platform::TargetId notify_;
  const ServerTimings timings_;
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer timer_;
  asio::steady_timer readyTimer_;  // DeliverReady's retry
  std::set<std::shared_ptr<ProxyWait>> waits_;         // connections reading their PROXY header
  std::deque<std::unique_ptr<AcceptInfo>> ready_;      // header read, not yet with the window thread
  Socket fd_ = platform::kInvalidSocket;
  int spare_ = -1;                      // a descriptor held in reserve
  std::unique_ptr<AcceptInfo> pending_;  // accepted, not yet handed to the window thread
  bool errorPending_ = false;
  bool stopped_ = false;
  std::chrono::steady_clock::time_point lastNotice_{};
};

CAcceptSocket::CAcceptSocket(CSocketServer& server, platform::MessageLoop& loop, void* userData)
    : server_(server), loop_(loop), userData_(userData) {}

CAcceptSocket::~CAcceptSocket() { Stop(); }

bool CAcceptSocket::Start(const Config& config, CIoWorker& worker) {
  loop_.AssertInLoopThread("CAcceptSocket::Start");
  Stop();
  config_ = config;
  lastError_.clear();
  notify_ = loop_.CreateTarget(
      [this](std::uint32_t msg, std::uintptr_t wParam, std::uintptr_t) { OnMessage(msg, wParam); });
  Socket fd = platform::OpenListener(config_.bindAddress, config_.port, &lastError_, true);
  if (fd == platform::kInvalidSocket) {
    Stop();
    return false;
  }
  auto acceptor = std::make_shared<CAcceptor>(worker, loop_, notify_, config_.timings, config_.proxyProtocol);
  if (!acceptor->Assign(fd, &lastError_)) {
    platform::CloseSocket(fd);
    Stop();
    return false;
  }
  listenSocket_ = fd;
  boundPort_ = platform::LocalPort(fd);
  acceptor_ = acceptor;
  if (!worker.Thread().Gate()->Post([weak = std::weak_ptr<CAcceptor>(acceptor)] {
        if (auto a = weak.lock()) a->AcceptSome();
      })) {
    lastError_ = "accept: the server's I/O threads have stopped";
    Stop();
    return false;
  }
  return true;
}

void CAcceptSocket::Stop() {
  loop_.AssertInLoopThread("CAcceptSocket::Stop");
  if (acceptor_) {
    // The accepting side belongs to its I/O thread: end it there and wait, so
    // that nothing is accepted once Stop returns.
    std::promise<void> done;
    auto finished = done.get_future();
    auto acceptor = std::move(acceptor_);
    bool posted = acceptor->Owner().IsCurrent() ? false : acceptor->Gate()->Post([acceptor, &done] {
      acceptor->Shutdown();
      done.set_value();
    });
    if (posted) {
      finished.wait();
    } else {
      acceptor->Shutdown();  // its thread has stopped: nothing else touches it
    }
  }
  listenSocket_ = platform::kInvalidSocket;
  boundPort_ = 0;
  if (notify_ != 0) {
    for (const platform::Message& m : loop_.Remove(notify_, WM_NEW_CONNECTION)) {
      auto* record = reinterpret_cast<AcceptInfo*>(m.wParam);
      platform::CloseSocket(record->socket);
      delete record;
    }
    for (const platform::Message& m : loop_.Remove(notify_, WM_PROXY_REFUSED)) {
      delete reinterpret_cast<std::string*>(m.wParam);
    }
    loop_.DestroyTarget(notify_);
    notify_ = 0;
  }
}

void CAcceptSocket::OnMessage(std::uint32_t msg, std::uintptr_t wParam) {
  if (msg == WM_NEW_CONNECTION) {
    std::unique_ptr<AcceptInfo> info(reinterpret_cast<AcceptInfo*>(wParam));
    int accept = 1;
    if (config_.onAccept) config_.onAccept(userData_, info.get(), &accept);
    if (accept == 0) {
      platform::CloseSocket(info->socket);
      return;
    }
    std::shared_ptr<CServerClientSocket> connection = server_.CreateClient(std::move(info));
    if (!connection) return;
    server_.Counters().Connected();
    server_.Events().Publish(DeviceEvent::Connected, *connection);
    if (config_.onSocketConnect) config_.onSocketConnect(userData_, connection->GetSocket());
    connection->Start();
  } else if (msg == WM_PROXY_REFUSED) {
    std::unique_ptr<std::string> text(reinterpret_cast<std::string*>(wParam));
    if (config_.onNotice) config_.onNotice(userData_, text->c_str());
  } else if (msg == WM_ACCEPT_REFUSED) {
    if (config_.onNotice) {
      int err = static_cast<int>(wParam);
      std::string text = "refused a connection: accept: " + platform::ErrorText(err);
      if (err == EMFILE || err == ENFILE) text += " (raise the descriptor limit: ulimit -n)";
      config_.onNotice(userData_, text.c_str());
    }
  } else if (msg == WM_ACCEPT_ERROR) {
    if (config_.onAcceptErr) config_.onAcceptErr(userData_, listenSocket_);
    Stop();
  }
}

}  // namespace velmo
