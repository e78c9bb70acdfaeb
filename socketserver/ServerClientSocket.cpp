#include "socketserver/ServerClientSocket.h"

#include <array>
#include <boost/asio/post.hpp>
#include <cstring>

#include "socketserver/ClientRegistry.h"
#include "socketserver/DeviceEvents.h"
#include "socketserver/IoWorker.h"

namespace velmo {

namespace asio = boost::asio;
using boost::system::error_code;

namespace {

std::atomic<std::uint64_t> g_nextId{1};
// What one connection may read in one turn; then the other connections of
// its thread get theirs, however much it sends.
constexpr std::size_t kTurnBytes = 64 * 1024;

// The protocol of a server that was given none: received bytes are dropped.
class CNullProtocol final : public IClientProtocol {
 public:
  bool Setup() override { return true; }
  void OnReceived(const std::uint8_t*, int) override {}
  void CancelTransfer() override {}
  void Shutdown(std::function<void()> done) override { done(); }
  bool Busy() const override { return false; }
};

bool WouldBlock(const error_code& ec) {
  return ec == asio::error::would_block || ec == asio::error::try_again;
}

}  // namespace

void CConnectionEnv::Created() const {
  std::lock_guard<std::mutex> lock(mutex_);
  ++live_;
}

void CConnectionEnv::Closed() const {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --live_;
  }
  changed_.notify_all();
}

bool CConnectionEnv::WaitAllClosed(std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return live_ <= 0; });
}

CServerClientSocket::CServerClientSocket(std::shared_ptr<const CConnectionEnv> env,
                                         std::shared_ptr<const ConnectionSettings> settings, CIoWorker& worker)
    : io_(worker.Thread().ContextRef()),
      env_(std::move(env)),
      settings_(std::move(settings)),
      worker_(worker),
      id_(g_nextId.fetch_add(1, std::memory_order_relaxed)),
      socket_(io_->get_executor()) {
  env_->Created();
}

CServerClientSocket::~CServerClientSocket() {
  // A connection that was never torn down (a stand-in of a test) still gives
  // its descriptor back, and the server stops waiting for it.
  error_code ec;
  if (socket_.is_open()) {
    socket_.close(ec);
  } else if (ownsFd_) {
    platform::CloseSocket(fd_);
  }
  if (public_.load() != ConnState::Closed) env_->Closed();
}

ConnState CServerClientSocket::Advance(ConnState state) {
  ConnState was = public_.load(std::memory_order_acquire);
  while (was < state && !public_.compare_exchange_weak(was, state, std::memory_order_acq_rel)) {
  }
  return was;
}

void CServerClientSocket::MarkClosed() {
  state_ = ConnState::Closed;
  if (public_.exchange(ConnState::Closed, std::memory_order_acq_rel) != ConnState::Closed) env_->Closed();
}

const platform::GatePtr& CServerClientSocket::Gate() const { return worker_.Thread().Gate(); }

bool CServerClientSocket::IsIoThread() const { return worker_.Thread().IsCurrent(); }

void CServerClientSocket::AssertIoThread(const char* what) const { worker_.Thread().Owner().Check(what); }

void CServerClientSocket::TakeAcceptInfo(std::unique_ptr<AcceptInfo> info) {
  fd_ = info->socket;
  ownsFd_ = fd_ != platform::kInvalidSocket;
  peerAddress_ = info->address;
  addressText_ = info->addressText.empty() ? platform::Ipv4Text(info->address.addrNet) : info->addressText;
  connectedAtMs_ = NowMs();
}

std::int64_t CServerClientSocket::NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool CServerClientSocket::Setup(const ProtocolFactory& factory) {
  env_->Loop().AssertInLoopThread("CServerClientSocket::Setup");
  if (fd_ == platform::kInvalidSocket) {
    setupError_ = "it has no socket";
    return false;
  }
  error_code ec;
  socket_.assign(asio::ip::tcp::v4(), fd_, ec);
  if (ec) {
    setupError_ = "its socket could not be watched: " + ec.message();
    return false;
  }
  ownsFd_ = false;  // the socket closes it from here on
  socket_.non_blocking(true, ec);
  if (ec) {
    setupError_ = "its socket could not be made non-blocking: " + ec.message();
    return false;
  }
  socket_.set_option(asio::ip::tcp::no_delay(true), ec);  // best effort: frames are small
  protocol_ = factory ? factory(*this) : nullptr;
  if (!protocol_) protocol_ = std::make_unique<CNullProtocol>();
  if (!protocol_->Setup()) {
    setupError_ = "its protocol could not be set up";
    return false;
  }
  return true;
}

void CServerClientSocket::Start() {
  ConnState created = ConnState::Created;
  if (!public_.compare_exchange_strong(created, ConnState::Open, std::memory_order_acq_rel)) return;
  bool posted = Gate()->Post([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->OnStarted();
  });
  if (!posted) Close();
}

void CServerClientSocket::OnStarted() {
  AssertIoThread("CServerClientSocket::OnStarted");
  if (state_ != ConnState::Created) return;  // closed before it could start
  state_ = ConnState::Open;
  worker_.Watch(this);
  TryRead();
}

void CServerClientSocket::Close() {
  if (Advance(ConnState::Closing) >= ConnState::Closing) return;  // asked already
  bool posted = Gate()->Post([self = shared_from_this()] { self->Teardown(); });
  if (!posted) {
    // The I/O thread has stopped: nothing runs there any more, so the socket
    // can go from here.
    error_code ec;
    socket_.close(ec);
    if (ownsFd_) platform::CloseSocket(fd_);
    ownsFd_ = false;
    MarkClosed();
  }
}

void CServerClientSocket::Post(std::function<void()> fn) {
  Gate()->Post([weak = weak_from_this(), fn = std::move(fn)] {
    auto self = weak.lock();
    if (self && !self->Closing()) fn();
  });
}

// ---- reading ----

void CServerClientSocket::TryRead() {
  readPosted_ = false;
  if (Closing() || pauses_ != 0 || readArmed_) return;
  std::uint8_t* buffer = worker_.RecvBuffer();
  for (std::size_t turn = 0; turn < kTurnBytes;) {
    error_code ec;
    std::size_t n = socket_.read_some(asio::buffer(buffer, CIoWorker::kRecvBufferBytes), ec);
    if (WouldBlock(ec)) return ArmRead();
    if (ec == asio::error::interrupted) continue;
    if (ec == asio::error::eof || ec == asio::error::connection_reset) return PostClose(WM_CLOSE_PEER);
    if (ec) return PostClose(WM_CLOSE_RECV_ERROR);
    turn += n;
    Feed(buffer, static_cast<int>(n));
    if (Closing() || pauses_ != 0) return;
  }
  // More may be waiting: the other connections of this thread go first.
  PostRead();
}

void CServerClientSocket::PostRead() {
  readPosted_ = true;
  asio::post(*io_, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->TryRead();
  });
}

void CServerClientSocket::ArmRead() {
  if (readArmed_ || Closing() || pauses_ != 0) return;
  readArmed_ = true;
  socket_.async_wait(asio::ip::tcp::socket::wait_read, [weak = weak_from_this()](const error_code& ec) {
    auto self = weak.lock();
    if (!self) return;
    self->readArmed_ = false;
    if (!ec) self->TryRead();
  });
}

void CServerClientSocket::Feed(const std::uint8_t* data, int length) {
  AssertIoThread("CServerClientSocket::Feed");
  if (Closing() || length <= 0) return;
  protocol_->OnReceived(data, length);
}

void CServerClientSocket::PauseReading(ReadPause why) {
  AssertIoThread("CServerClientSocket::PauseReading");
  pauses_ |= why;
}

void CServerClientSocket::ResumeReading(ReadPause why) {
  AssertIoThread("CServerClientSocket::ResumeReading");
  if ((pauses_ & why) == 0) return;
  pauses_ &= ~static_cast<unsigned>(why);
  if (pauses_ != 0 || Closing() || readPosted_ || readArmed_) return;
  // Bytes may have arrived while paused (the socket does not tell again): read first.
  PostRead();
}

// ---- writing ----

bool CServerClientSocket::SendBytes(std::span<const std::string_view> parts) {
  AssertIoThread("CServerClientSocket::SendBytes");
  std::array<asio::const_buffer, kMaxParts> buffers;
  if (parts.size() > buffers.size()) return false;
  std::size_t count = 0;
  for (auto p : parts) buffers[count++] = asio::const_buffer(p.data(), p.size());
  return Write(buffers.data(), count);
}

bool CServerClientSocket::PostBytes(std::string frame) {
  if (PublicState() == ConnState::Closed) return false;
  // Room is reserved here, so the I/O thread writes every frame it was given:
  // a frame reported sent is never dropped later for want of room.
  const std::size_t size = frame.size();
  const std::size_t bound = settings_->timings.outputBound;
  std::size_t reserved = reserved_.load(std::memory_order_relaxed);
  do {
    if (outBytes_.load(std::memory_order_relaxed) + reserved >= bound) return false;
  } while (!reserved_.compare_exchange_weak(reserved, reserved + size, std::memory_order_relaxed));
  const bool posted = Gate()->Post([weak = weak_from_this(), frame = std::move(frame), size] {
    auto self = weak.lock();
    if (!self) return;
    self->reserved_.fetch_sub(size, std::memory_order_relaxed);
    asio::const_buffer buffer(frame.data(), frame.size());
    self->Write(&buffer, 1, true);
  });
  if (!posted) reserved_.fetch_sub(size, std::memory_order_relaxed);
  return posted;
}

bool CServerClientSocket::Write(const asio::const_buffer* buffers, std::size_t count, bool reserved) {
  if (state_ == ConnState::Closed || (OutputFull() && !reserved)) return false;
  std::size_t written = 0;
  if (outPending_ == 0) {
    error_code ec;
    std::array<asio::const_buffer, kMaxParts> sequence;
    for (std::size_t i = 0; i < count && i < sequence.size(); ++i) sequence[i] = buffers[i];
    written = socket_.write_some(sequence, ec);
    if (WouldBlock(ec)) {
      written = 0;
    } else if (ec) {
      PostClose(WM_CLOSE_SEND_FAILED);
      return false;
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    const auto* p = static_cast<const char*>(buffers[i].data());
    std::size_t size = buffers[i].size();
    std::size_t skip = written < size ? written : size;
    written -= skip;
    out_.append(p + skip, size - skip);
  }
  outPending_ = out_.size() - outHead_;
  AfterOutputChange();
  if (outPending_ > 0) ArmWrite();
  return true;
}

void CServerClientSocket::ArmWrite() {
  if (writeArmed_ || state_ == ConnState::Closed) return;
  writeArmed_ = true;
  socket_.async_wait(asio::ip::tcp::socket::wait_write, [weak = weak_from_this()](const error_code& ec) {
    auto self = weak.lock();
    if (!self) return;
    self->writeArmed_ = false;
    if (!ec) self->OnWritable();
  });
}

void CServerClientSocket::OnWritable() {
  if (state_ == ConnState::Closed) return;
  while (outPending_ > 0) {
    error_code ec;
    std::size_t n = socket_.write_some(asio::buffer(out_.data() + outHead_, outPending_), ec);
    if (WouldBlock(ec)) {
      ArmWrite();
      break;
    }
    if (ec) {
      std::string().swap(out_);
      outHead_ = outPending_ = 0;
      PostClose(WM_CLOSE_SEND_FAILED);
      break;
    }
    outHead_ += n;
    outPending_ -= n;
  }
  AfterOutputChange();
}

void CServerClientSocket::AfterOutputChange() {
  if (outPending_ == 0) {
    std::string().swap(out_);  // an idle connection keeps no output buffer
    outHead_ = 0;
  } else if (outHead_ > out_.size() / 2) {
    out_.erase(0, outHead_);
    outHead_ = 0;
  }
  outBytes_.store(outPending_, std::memory_order_relaxed);
  if (!OutputFull()) {
    fullSince_ = {};
  } else if (fullSince_ == std::chrono::steady_clock::time_point{}) {
    fullSince_ = std::chrono::steady_clock::now();
  }
}

// ---- timers, idle, close ----

void CServerClientSocket::SetTimer(std::chrono::milliseconds limit, std::function<void()> fn) {
  AssertIoThread("CServerClientSocket::SetTimer");
  if (Closing()) return;
  if (!timer_) timer_ = std::make_unique<asio::steady_timer>(*io_);
  // An expiry already queued when the timer is cancelled or set again still
  // runs: it carries its generation and does nothing once that is over.
  const std::uint32_t generation = ++timerGeneration_;
  timer_->expires_after(limit);
  timer_->async_wait([weak = weak_from_this(), fn = std::move(fn), generation](const error_code& ec) {
    if (ec) return;
    auto self = weak.lock();
    if (self && !self->Closing() && self->timerGeneration_ == generation) fn();
  });
}

void CServerClientSocket::CancelTimer() {
  AssertIoThread("CServerClientSocket::CancelTimer");
  ++timerGeneration_;
  if (timer_) timer_->cancel();
}

void CServerClientSocket::PostClose(std::uint32_t message) {
  AssertIoThread("CServerClientSocket::PostClose");
  if (state_ >= ConnState::Ending) return;  // the first reason is the one reported
  state_ = ConnState::Ending;
  Advance(ConnState::Ending);
  pendingClose_ = message;
  RetryClose();
}

void CServerClientSocket::RetryClose() {
  if (state_ != ConnState::Ending || pendingClose_ == 0) return;
  platform::PostResult r = env_->Loop().Post(env_->CloseTarget(), pendingClose_, static_cast<std::uintptr_t>(id_), 0);
  if (r != platform::PostResult::QueueFull) {
    pendingClose_ = 0;  // queued, or the server is gone
    return;
  }
  // The window thread's queue is full: try again later, without waiting here.
  if (!closeRetry_) closeRetry_ = std::make_unique<asio::steady_timer>(*io_);
  closeRetry_->expires_after(settings_->timings.postRetry);
  closeRetry_->async_wait([weak = weak_from_this()](const error_code& ec) {
    if (ec) return;
    if (auto self = weak.lock()) self->RetryClose();
  });
}

void CServerClientSocket::MonitorTick() {
  if (Closing()) return;
  if (pauses_ != 0 || (protocol_ && protocol_->Busy())) {
    // Velmo's own time (working for the device, or not reading it), not the peer's silence.
    idleTicks_.store(0, std::memory_order_relaxed);
  } else if (idleTicks_.fetch_add(1, std::memory_order_relaxed) + 1 > IdleLimitSeconds()) {
    PostClose(WM_CLOSE_PEER);
  }
  if (fullSince_ != std::chrono::steady_clock::time_point{} &&
      std::chrono::steady_clock::now() - fullSince_ >= std::chrono::milliseconds(settings_->sendTimeoutMs)) {
    PostClose(WM_CLOSE_SEND_FAILED);
  }
}

void CServerClientSocket::Teardown() {
  AssertIoThread("CServerClientSocket::Teardown");
  if (Closing()) return;
  state_ = ConnState::Closing;  // the public state says so already: Close() set it
  worker_.Unwatch(this);
  if (timer_) timer_->cancel();
  if (closeRetry_) closeRetry_->cancel();
  CDeviceMailbox* mailbox;
  {
    // Under the lock that Mailbox() creates under, which looks at the public
    // state: a mailbox is either seen here or created already abandoned.
    std::lock_guard<std::mutex> lock(snLock_);
    mailbox = PeekMailbox();
  }
  if (mailbox) mailbox->Abandon();
  if (!protocol_) return FinishTeardown();
  protocol_->Shutdown([self = shared_from_this()] { self->FinishTeardown(); });
}

void CServerClientSocket::FinishTeardown() {
  AssertIoThread("CServerClientSocket::FinishTeardown");
  if (state_ == ConnState::Closed) return;
  if (outPending_ > 0 && socket_.is_open()) {
    error_code ignored;  // what the socket takes now goes; the rest is dropped with the connection
    socket_.write_some(asio::buffer(out_.data() + outHead_, outPending_), ignored);
  }
  std::string().swap(out_);
  outHead_ = outPending_ = 0;
  outBytes_.store(0, std::memory_order_relaxed);
  error_code ec;
  if (socket_.is_open()) {
    socket_.close(ec);
  } else if (ownsFd_) {
    platform::CloseSocket(fd_);  // never handed to the socket (a set-up that failed early)
  }
  ownsFd_ = false;
  MarkClosed();
}

// ---- SN and mailbox ----

void CServerClientSocket::SetSn(const char* bytes, std::size_t length) {
  if (length > kTextField - 1) length = kTextField - 1;
  length = strnlen(bytes, length);  // the SN ends at a zero byte
  {
    std::lock_guard<std::mutex> lock(snLock_);
    if (sn_.size() == length && std::memcmp(sn_.data(), bytes, length) == 0) return;  // the usual heartbeat
  }
  const std::string sn(bytes, length);
  std::string previous = env_->Registry().ChangeSn(*this, sn);
  if (previous == sn) return;
  registeredAtMs_.store(sn.empty() ? 0 : NowMs(), std::memory_order_relaxed);
  if (!sn.empty()) env_->Events().Publish(DeviceEvent::Registered, *this, -1, std::move(previous));
}

std::string CServerClientSocket::StoreSn(const std::string& sn) {
  std::lock_guard<std::mutex> lock(snLock_);
  std::string previous = std::move(sn_);
  sn_ = sn;
  return previous;
}

std::string CServerClientSocket::GetSn() const {
  std::lock_guard<std::mutex> lock(snLock_);
  return sn_;
}

bool CServerClientSocket::HasSn() const {
  std::lock_guard<std::mutex> lock(snLock_);
  return !sn_.empty();
}

bool CServerClientSocket::SnEquals(std::string_view sn) const {
  std::lock_guard<std::mutex> lock(snLock_);
  return sn_ == sn;
}

CDeviceMailbox& CServerClientSocket::Mailbox() {
  if (CDeviceMailbox* mailbox = mailbox_.load(std::memory_order_acquire)) return *mailbox;
  std::lock_guard<std::mutex> lock(snLock_);
  if (!mailboxOwner_) {
    mailboxOwner_ = std::make_shared<CDeviceMailbox>(io_, Gate(), worker_.Thread().Owner(), settings_->timings.deviceWait);
    if (PublicState() >= ConnState::Closing) {
      // Found after it went away: every wait on it ends at once.
      mailboxOwner_->Request().Abandon();
      mailboxOwner_->Reply().Abandon();
    }
    mailbox_.store(mailboxOwner_.get(), std::memory_order_release);
  }
  return *mailboxOwner_;
}

}  // namespace velmo
