#include "protocol/FileTransfer.h"

#include <algorithm>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "platform/Clock.h"
#include "protocol/DeviceProtocol.h"
#include "protocol/FrameAssembler.h"
#include "protocol/Heartbeat.h"
#include "protocol/ProtocolMessages.h"
#include "protocol/Frame.h"
#include "socketserver/DeviceCounters.h"

namespace velmo {

namespace asio = boost::asio;

namespace {

constexpr std::size_t kMaxName = 249;
constexpr std::size_t kMaxPath = 259;
constexpr long long kDefaultBlock = 3072;
constexpr long long kMaxBlock = kMaxFramePayload - 3;  // 99996: every block can be framed
constexpr long long kMaxFileSize = 0xFFFFFFFFLL;
constexpr std::size_t kCrcChunk = 1 << 20;
// Upload data waiting for the file threads: above the high mark the
// connection stops reading, below the low mark it reads again.
constexpr std::size_t kBacklogHigh = 4u << 20;
constexpr std::size_t kBacklogLow = 1u << 20;
// What a waiting frame costs beyond its bytes (its handler, its string, its
// place in the deferred queue): many small frames weigh like their memory.
constexpr std::size_t kFrameCost = 128;

// Why an upload name is refused, or nullptr when it is a plain file name.
const char* UploadNameProblem(std::string_view name) {
  if (name.empty()) return "the name is empty";
  if (name == "." || name == "..") return "the name is a directory";
  if (name.size() > kMaxName) return "the name is longer than 249 bytes";
  if (name.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos) {
    return "the name holds a path separator or a zero byte";
  }
  return nullptr;
}

// The directory downloads are served from: the root itself, or the directory
// of it when it names a file. "" when it does not exist.
std::string ResolveRoot(const std::string& root) {
  char real[PATH_MAX];
  if (!realpath(root.empty() ? "." : root.c_str(), real)) return "";
  struct stat st {};
  std::string dir = real;
  if (stat(real, &st) == 0 && !S_ISDIR(st.st_mode)) dir = dir.substr(0, dir.rfind('/'));
  return dir.empty() ? "/" : dir;
}

bool Inside(const std::string& path, const std::string& dir) {
  if (dir == "/") return true;
  return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '/';
}

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "not a regular file";
}

}  // namespace

CFileTransfer::CFileTransfer(CServerClientSocket& connection, std::shared_ptr<CProtocolShared> shared)
    : io_(connection.Env().Files()),
      strand_(asio::make_strand(*io_)),
      timer_(*io_),
      crcTimer_(*io_),
      conn_(connection.weak_from_this()),
      shared_(std::move(shared)),
      settings_(connection.SettingsRef()),
      env_(connection.EnvRef()),
      counters_(connection.Env().Counters()),
      loop_(connection.Loop()),
      connGate_(connection.Gate()),
      lastProgressTick_(platform::TickMs()) {}

CFileTransfer::~CFileTransfer() {
  if (file_ >= 0) close(file_);
  if (crcWork_.fd >= 0) close(crcWork_.fd);
  if (receiver_ != 0) loop_.DestroyTarget(receiver_);
}

// ---- the I/O thread's side ----

void CFileTransfer::Submit(int code, const std::uint8_t* payload, int length) {
  if (code == -29 && SendReady()) return;
  std::string copy(reinterpret_cast<const char*>(payload), static_cast<std::size_t>(length));
  const std::size_t size = copy.size() + kFrameCost;
  inFlight_.fetch_add(1);
  const std::size_t backlog = backlog_.fetch_add(size) + size;
  asio::post(strand_, [weak = weak_from_this(), code, copy = std::move(copy)]() mutable {
    if (auto self = weak.lock()) self->Handle(code, std::move(copy));
  });
  if (backlog > kBacklogHigh) {
    auto conn = conn_.lock();
    if (!conn) return;
    pausedForFiles_.store(true);
    conn->PauseReading(CServerClientSocket::kPauseFiles);
    // The file threads may have caught up in between: look once more.
    if (backlog_.load() < kBacklogLow && pausedForFiles_.exchange(false)) {
      conn->ResumeReading(CServerClientSocket::kPauseFiles);
    }
  }
}

bool CFileTransfer::SendReady() {
  if (inFlight_.load() != 0) return false;  // the strand's state is still moving: it decides
  auto conn = conn_.lock();
  // A block the strand posted and the I/O thread has not written yet goes first.
  if (!conn || conn->OutputFull() || conn->HasPostedFrames()) return false;
  std::string frame;
  std::uint32_t n;
  {
    std::lock_guard<std::mutex> lock(readyLock_);
    if (readyFrame_.empty()) return false;
    frame.swap(readyFrame_);
    n = readyLength_;
  }
  const bool sent = conn->SendRaw(frame);
  inFlight_.fetch_add(1);
  asio::post(strand_, [weak = weak_from_this(), sent, n] {
    auto self = weak.lock();
    if (!self) return;
    if (!self->shut_) {
      if (sent) {
        self->OnReadySent(n);
      } else {
        self->Act(self->SendFailed());  // the file stays open
      }
    }
    self->Done();
  });
  return true;
}

void CFileTransfer::ClearReady() {
  std::lock_guard<std::mutex> lock(readyLock_);
  std::string().swap(readyFrame_);
}

void CFileTransfer::ReadLed(std::function<void(bool, const std::string&)> done) {
  inFlight_.fetch_add(1);
  asio::post(strand_, [weak = weak_from_this(), done = std::move(done)] {
    auto self = weak.lock();
    if (!self) return;
    std::string text, refusal;
    const std::string& path = self->shared_->Settings().ledFilePath;
    bool ok = !self->shut_ && ReadLedFile(path, &text, &refusal);
    if (!refusal.empty() && self->shared_->LedNoticeDue()) {
      if (auto fn = self->settings_->callbacks.onNotice) {
        fn(self->settings_->userData, ("LED file " + path + " refused: " + refusal).c_str());
      }
    }
    self->connGate_->Post([weak = self->conn_, done, ok, text] {
      auto conn = weak.lock();
      if (conn && !conn->Closing()) done(ok, text);
    });
    self->Done();
  });
}

void CFileTransfer::Cancel() {
  asio::post(strand_, [weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self || self->shut_) return;
    // Every open file is cancelled, uploads and downloads alike (a download
    // whose header is still being computed has its file open too).
    const bool open = self->slot_ != Slot::None || self->crcWork_.active;
    self->AbortCrc();
    // Closed before the device hears of it: a -29 that answers the "-22"
    // finds no block read ahead for it on the I/O thread.
    self->CloseTransfer();
    if (open && !self->Send({"-22"})) self->RequestClose(WM_CLOSE_SEND_FAILED);
    self->Replay();
  });
}

void CFileTransfer::Shutdown(std::function<void()> done) {
  asio::post(strand_, [self = shared_from_this(), done = std::move(done)] {
    self->shut_ = true;
    self->AbortCrc();
    self->CloseTransfer();
    self->deferred_.clear();
    self->outbox_.clear();
    self->timer_.cancel();
    self->crcTimer_.cancel();
    if (self->receiver_ != 0) self->loop_.DestroyTarget(self->receiver_);  // queued reports go with it
    self->receiver_ = 0;
    self->connGate_->Post(done);
  });
}

// ---- the strand ----

void CFileTransfer::Done() {
  inFlight_.fetch_sub(1);
}

void CFileTransfer::Handle(int code, std::string payload) {
  if (crcWork_.active && !shut_) {  // a download's CRC is being computed: its frames wait for it
    deferred_.emplace_back(code, std::move(payload));
    return;
  }
  const std::size_t size = payload.size() + kFrameCost;
  if (!shut_) {
    switch (code) {
      case -16: Act(OnUploadRequest(payload)); break;
      case -19: Act(OnUploadData(payload)); break;
      case -21:
      case -23: Act(OnTransferEnded(code)); break;
      case -26: Act(OnDownloadRequest(payload)); break;
      case -29: Act(OnNextBlock()); break;
      default: break;
    }
  }
  const std::size_t backlog = backlog_.fetch_sub(size) - size;
  if (backlog < kBacklogLow && pausedForFiles_.exchange(false)) {
    connGate_->Post([weak = conn_] {
      if (auto conn = weak.lock()) conn->ResumeReading(CServerClientSocket::kPauseFiles);
    });
  }
  Done();
}

void CFileTransfer::Replay() {
  while (!deferred_.empty() && !crcWork_.active) {
    auto [code, payload] = std::move(deferred_.front());
    deferred_.pop_front();
    Handle(code, std::move(payload));
  }
}

void CFileTransfer::Act(const Step& step) {
  switch (step.kind) {
    case Step::Keep:
      return;
    case Step::CloseSendFailed:
      if (step.closeFile) CloseTransfer();
      return RequestClose(WM_CLOSE_SEND_FAILED);
    case Step::Fail:
      if (step.closeFile) CloseTransfer();
      PostToReceiver(step.message);
      if (step.reply && !Send({step.reply})) RequestClose(WM_CLOSE_SEND_FAILED);
      return;
  }
}

void CFileTransfer::CloseTransfer() {
  if (file_ >= 0) close(file_);
  file_ = -1;
  slot_ = Slot::None;
  sendFailed_ = false;
  ClearReady();
}

bool CFileTransfer::Send(std::initializer_list<std::string_view> parts, bool trace) {
  std::size_t length = 0;
  for (auto p : parts) length += p.size();
  std::string frame(kFrameHeaderBytes, '\0');
  if (!FrameHeader(length, frame.data())) return false;
  for (auto p : parts) frame.append(p);
  if (trace) Trace(frame);
  auto conn = conn_.lock();
  return conn && conn->PostBytes(std::move(frame));
}

void CFileTransfer::RequestClose(std::uint32_t message) {
  if (auto conn = conn_.lock()) {
    CServerClientSocket* c = conn.get();
    conn->Post([c, message] { c->PostClose(message); });
  }
}

void CFileTransfer::Trace(std::string_view text) {
  if (auto fn = settings_->callbacks.onRecvData) {
    fn(settings_->userData, text.data(), static_cast<int>(text.size()));
  }
}

void CFileTransfer::PostToReceiver(std::uint32_t message) {
  if (receiver_ == 0) {
    receiver_ = loop_.CreateTarget([weak = weak_from_this()](std::uint32_t msg, std::uintptr_t, std::uintptr_t) {
      if (auto self = weak.lock()) self->OnWindowMessage(msg);
    });
  }
  outbox_.push_back(message);
  FlushOutbox();
}

void CFileTransfer::PauseForWindow(bool pause) {
  if (pausedForWindow_ == pause) return;
  pausedForWindow_ = pause;
  connGate_->Post([weak = conn_, pause] {
    auto conn = weak.lock();
    if (!conn) return;
    if (pause) {
      conn->PauseReading(CServerClientSocket::kPauseWindow);
    } else {
      conn->ResumeReading(CServerClientSocket::kPauseWindow);
    }
  });
}

void CFileTransfer::FlushOutbox() {
  while (!outbox_.empty()) {
    platform::PostResult r = loop_.Post(receiver_, outbox_.front(), 0, 0);
    if (r == platform::PostResult::QueueFull) {
      // The window thread is behind: try again later, in order, without
      // waiting here; meanwhile this connection is not read, so its device
      // cannot make more reports than the window takes.
      PauseForWindow(true);
      if (outboxRetry_) return;
      outboxRetry_ = true;
      timer_.expires_after(settings_->timings.postRetry);
      timer_.async_wait(asio::bind_executor(strand_, [weak = weak_from_this()](const boost::system::error_code& ec) {
        auto self = weak.lock();
        if (!self) return;
        self->outboxRetry_ = false;
        if (!ec && !self->shut_) self->FlushOutbox();
      }));
      return;
    }
    outbox_.pop_front();
  }
  PauseForWindow(false);
}

void CFileTransfer::ProgressStep() {
  std::uint32_t now = platform::TickMs();
  if (now < lastProgressTick_) lastProgressTick_ = 0;  // the tick wrapped
  std::uint32_t done, total;
  {
    std::lock_guard<std::mutex> lock(infoLock_);
    done = done_;
    total = total_;
  }
  if (now - lastProgressTick_ > settings_->progressIntervalMs || done >= total) {
    PostToReceiver(WM_FILE_PROGRESS);
    lastProgressTick_ = now;
  }
}

CFileTransfer::Step CFileTransfer::CheckComplete() {
  if (slot_ != Slot::Upload) return Keep();
  struct stat st {};
  std::uint32_t total;
  {
    std::lock_guard<std::mutex> lock(infoLock_);
    total = total_;
  }
  if (fstat(file_, &st) != 0 || static_cast<unsigned long long>(st.st_size) < total) return Keep();
  CloseTransfer();
  counters_.UploadDone();
  // Reported before the device hears of it: a device that closes as soon as
  // it has its "-20" is then closed after the report reached the window's
  // queue, not before (its close would discard the report).
  PostToReceiver(WM_FILE_SUCCESS);
  if (!Send({"-20"})) return CloseSendFailed(false);
  return Keep();
}

CFileTransfer::Step CFileTransfer::OnUploadRequest(std::string_view payload) {
  CloseTransfer();  // an earlier transfer ends here, without a report
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(payload.data());
  const int length = static_cast<int>(payload.size());
  const long long size = ReadLenient64(bytes + 3, std::clamp(length - 3, 0, 10));
  std::string_view name = payload.size() > 13 ? payload.substr(13) : std::string_view();
  const std::string dir = settings_->fileDir;

  const char* problem = UploadNameProblem(name);
  if (!problem && (size < 0 || size > kMaxFileSize)) problem = "the size is not below 4 GiB";
  if (!problem && dir.size() + name.size() > kMaxPath) problem = "the file directory and the name are longer than 259 bytes";
  {
    std::lock_guard<std::mutex> lock(infoLock_);
    path_ = dir + std::string(name.substr(0, kMaxPath - std::min(kMaxPath, dir.size())));
    if (!problem) total_ = static_cast<std::uint32_t>(size);
  }
  uploadRefused_ = problem != nullptr;
  {
    std::lock_guard<std::mutex> lock(infoLock_);
    refused_ = uploadRefused_;
  }
  if (problem) {
    Trace(std::string("upload refused: ") + problem);
  } else {
    std::lock_guard<std::mutex> lock(infoLock_);
    unlink(path_.c_str());  // the old file of that name goes; the result does not matter
  }
  PostToReceiver(WM_FILE_REQUEST);
  return Keep();
}

CFileTransfer::Step CFileTransfer::OnUploadAccepted(bool accept) {
  if (file_ >= 0 || shut_) return Keep();  // a transfer is open: no answer
  if (uploadRefused_) return Fail(WM_FILE_FAIL, true, "-24");
  if (!accept) {
    CloseTransfer();
    return Send({"-18"}) ? Keep() : CloseSendFailed(false);
  }
  std::string path;
  {
    std::lock_guard<std::mutex> lock(infoLock_);
    path = path_;
  }
  unlink(path.c_str());
  // Never through a symbolic link: the file lands in the file directory or nowhere.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) return Fail(WM_FILE_FAIL, true, "-24");
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return Fail(WM_FILE_FAIL, true, "-24");
  }
  file_ = fd;
  slot_ = Slot::Upload;
  {
    std::lock_guard<std::mutex> lock(infoLock_);
    done_ = static_cast<std::uint32_t>(std::min<long long>(st.st_size, kMaxFileSize));
  }
  if (!Send({"-170000000000"}, true)) return CloseSendFailed(true);
  return CheckComplete();  // a request for 0 bytes completes at once
}

CFileTransfer::Step CFileTransfer::OnUploadData(std::string_view payload) {
  if (slot_ == Slot::None) return Keep();  // no file open: ignored
  // A download's file is open for reading only: the write fails like any
  // other, and the device gets "-24".
  if (slot_ == Slot::Download) return Fail(WM_FILE_WRITE_FAILED, true, "-24");
  bool ok = lseek(file_, 0, SEEK_END) >= 0;
  const char* data = payload.data() + 3;
  std::size_t left = payload.size() - 3;
  while (ok && left > 0) {
    ssize_t n = write(file_, data, left);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) {
      data += n;
      left -= static_cast<std::size_t>(n);
    }
  }
  struct stat st {};
  ok = ok && fstat(file_, &st) == 0;
  if (!ok) return Fail(WM_FILE_WRITE_FAILED, true, "-24");
  counters_.UploadBytes(payload.size() - 3);
  {
    std::lock_guard<std::mutex> lock(infoLock_);
    done_ = static_cast<std::uint32_t>(std::min<long long>(st.st_size, kMaxFileSize));
  }
  if (!Send({"-490000000000"})) return SendFailed();  // the file stays open
  ProgressStep();
  return CheckComplete();
}

CFileTransfer::Step CFileTransfer::OnTransferEnded(int code) {
  if (slot_ == Slot::None) return Keep();  // no file open: ignored
  return Fail(code == -21 ? WM_FILE_FAIL_DEVICE : WM_FILE_FAIL, true);
}

CFileTransfer::Step CFileTransfer::OnDownloadRequest(std::string_view payload) {
  CloseTransfer();  // one slot: the earlier transfer's file is closed first
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(payload.data());
  const int length = static_cast<int>(payload.size());
  const long long block = ReadLenient64(bytes + 3, std::clamp(length - 3, 0, 10));
  blockSize_ = static_cast<std::uint32_t>(block <= 0 ? kDefaultBlock : std::min(block, kMaxBlock));
  std::string requested = payload.size() > 13 ? std::string(payload.substr(13)) : std::string();
  if (requested.size() > kMaxPath || requested.find('\0') != std::string::npos) {
    Trace("download refused: the path is longer than 259 bytes or holds a zero byte");
    return Keep();
  }
  const std::string& configured = shared_->Settings().downloadRoot;
  const std::string root = ResolveRoot(configured.empty() ? std::string(settings_->fileDir) : configured);
  const std::string candidate = !requested.empty() && requested[0] == '/' ? requested : root + "/" + requested;
  char real[PATH_MAX];
  if (root.empty() || !realpath(candidate.c_str(), real)) return Keep();  // missing: no answer
  if (!Inside(real, root)) {
    Trace("download refused: " + requested + " is outside " + root);
    return Keep();
  }
  // Only a regular file is opened, and without blocking: a FIFO or a device
  // never holds the file threads.
  struct stat st {};
  if (stat(real, &st) == 0 && !S_ISREG(st.st_mode)) {
    Trace("download refused: " + requested + " is " + KindOf(st.st_mode));
    return Keep();
  }
  int fd = open(real, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return Keep();
  if (fstat(fd, &st) != 0) {
    close(fd);
    return Keep();
  }
  if (!S_ISREG(st.st_mode)) {  // replaced since the look above
    close(fd);
    Trace("download refused: " + requested + " is " + KindOf(st.st_mode));
    return Keep();
  }
  if (st.st_size > kMaxFileSize) {
    close(fd);
    Trace("download refused: " + requested + " is 4 GiB or larger");
    return Keep();
  }
  // The CRC-32 of the header, 1 MiB at a time: the file is never held whole,
  // and other connections' file work runs between the chunks.
  crcWork_ = Crc{};
  crcWork_.active = true;
  crcWork_.fd = fd;
  crcWork_.size = static_cast<std::uint64_t>(st.st_size);
  crcWork_.value = static_cast<std::uint32_t>(crc32(0L, Z_NULL, 0));
  crcWork_.path = real;
  crcWork_.name = requested.substr(requested.rfind('/') == std::string::npos ? 0 : requested.rfind('/') + 1);
  inFlight_.fetch_add(1);
  asio::post(strand_, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->CrcChunk();
  });
  return Keep();
}

void CFileTransfer::CrcChunk() {
  if (!crcWork_.active) return;
  std::vector<std::uint8_t> chunk(std::min<std::uint64_t>(kCrcChunk, crcWork_.size - crcWork_.at));
  std::size_t got = 0;
  while (got < chunk.size()) {
    ssize_t n = pread(crcWork_.fd, chunk.data() + got, chunk.size() - got,
                      static_cast<off_t>(crcWork_.at + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return FinishCrc(false);  // the file shrank or cannot be read: no answer, as for a missing file
    got += static_cast<std::size_t>(n);
  }
  crcWork_.value = static_cast<std::uint32_t>(crc32(crcWork_.value, chunk.data(), static_cast<uInt>(got)));
  crcWork_.at += got;
  if (crcWork_.at >= crcWork_.size) return FinishCrc(true);
  auto next = [weak = weak_from_this()](const boost::system::error_code& ec) {
    if (ec) return;
    if (auto self = weak.lock()) self->CrcChunk();
  };
  const auto pause = shared_->Settings().crcChunkPause;
  if (pause.count() > 0) {
    crcTimer_.expires_after(pause);
    crcTimer_.async_wait(asio::bind_executor(strand_, next));
  } else {
    asio::post(strand_, [next] { next({}); });
  }
}

void CFileTransfer::FinishCrc(bool ok) {
  Crc work = std::move(crcWork_);
  crcWork_ = Crc{};
  Step step;
  if (!ok) {
    close(work.fd);
  } else {
    file_ = work.fd;
    slot_ = Slot::Download;
    crc_ = work.value;
    downloadName_ = work.name;
    sendOffset_ = 0;
    {
      std::lock_guard<std::mutex> lock(infoLock_);
      path_ = work.path;
      total_ = static_cast<std::uint32_t>(work.size);
      done_ = 0;
    }
    char header[40];
    std::snprintf(header, sizeof header, "-27%010u%08x", static_cast<unsigned>(work.size), crc_);
    if (!Send({header, downloadName_}, true)) {
      step = CloseSendFailed(true);
    } else {
      ReadAhead();
    }
  }
  Done();
  Act(step);
  Replay();
}

void CFileTransfer::AbortCrc() {
  if (!crcWork_.active) return;
  close(crcWork_.fd);
  crcWork_ = Crc{};
  crcTimer_.cancel();
  Done();
}

bool CFileTransfer::ReadBlock(std::uint32_t offset, std::uint32_t n, std::string* frame) {
  frame->assign(kFrameHeaderBytes + 3 + n, '\0');
  FrameHeader(3 + n, frame->data());
  std::memcpy(frame->data() + kFrameHeaderBytes, "-39", 3);
  std::size_t got = 0;
  while (got < n) {
    ssize_t r = pread(file_, frame->data() + kFrameHeaderBytes + 3 + got, n - got,
                      static_cast<off_t>(offset) + static_cast<off_t>(got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  return got == n;
}

void CFileTransfer::ReadAhead() {
  if (slot_ != Slot::Download) return;
  std::uint32_t total;
  {
    std::lock_guard<std::mutex> lock(infoLock_);
    total = total_;
  }
  if (sendOffset_ >= total) return;
  const std::uint32_t n = std::min(blockSize_, total - sendOffset_);
  std::string frame;
  if (!ReadBlock(sendOffset_, n, &frame)) return;  // the -29 reads it again and reports what it finds
  std::lock_guard<std::mutex> lock(readyLock_);
  readyFrame_.swap(frame);
  readyLength_ = n;
}

CFileTransfer::Step CFileTransfer::SendFailed() {
  // A device that does not read fails send after send: one report for the
  // transfer, however often it stalls.
  if (sendFailed_) return Keep();
  sendFailed_ = true;
  return Fail(WM_FILE_FAIL, false);
}

void CFileTransfer::OnReadySent(std::uint32_t n) {
  if (slot_ != Slot::Download) return;
  std::uint32_t total;
  {
    std::lock_guard<std::mutex> lock(infoLock_);
    total = total_;
    sendOffset_ += n;
    done_ = sendOffset_;
  }
  counters_.DownloadBytes(n);
  ProgressStep();
  if (sendOffset_ >= total) {
    counters_.DownloadDone();
    return CloseTransfer();
  }
  ReadAhead();
}

CFileTransfer::Step CFileTransfer::OnNextBlock() {
  if (slot_ != Slot::Download) return Keep();  // nothing open: ignored
  std::uint32_t total;
  {
    std::lock_guard<std::mutex> lock(infoLock_);
    total = total_;
  }
  if (sendOffset_ > total) {
    CloseTransfer();
    return Keep();
  }
  const std::uint32_t n = std::min(blockSize_, total - sendOffset_);
  // The block read ahead for this offset, or read now, straight into its frame.
  std::string frame;
  {
    std::lock_guard<std::mutex> lock(readyLock_);
    frame.swap(readyFrame_);
  }
  if (frame.empty() && !ReadBlock(sendOffset_, n, &frame)) {
    return Fail(WM_FILE_FAIL, true);  // the file shrank or cannot be read
  }
  auto conn = conn_.lock();
  if (!conn || !conn->PostBytes(std::move(frame))) return SendFailed();  // the file stays open
  sendOffset_ += n;
  {
    std::lock_guard<std::mutex> lock(infoLock_);
    done_ = sendOffset_;
  }
  counters_.DownloadBytes(n);
  ProgressStep();
  if (sendOffset_ >= total) {
    counters_.DownloadDone();
    CloseTransfer();
  } else {
    ReadAhead();
  }
  return Keep();
}

// ---- the window thread ----

void CFileTransfer::OnWindowMessage(std::uint32_t message) {
  const auto& cb = settings_->callbacks;
  void* user = settings_->userData;
  std::string path;
  std::uint32_t done, total;
  bool refused;
  {
    std::lock_guard<std::mutex> lock(infoLock_);
    path = path_;
    done = done_;
    total = total_;
    refused = refused_;
  }
  switch (message) {
    case WM_FILE_REQUEST: {
      // A name that was refused is not offered to the owner; the strand fails it.
      int accept = 1;
      if (!refused && cb.onRecvFileRequest) cb.onRecvFileRequest(user, path.c_str(), &accept);
      asio::post(strand_, [weak = weak_from_this(), accept] {
        if (auto self = weak.lock()) self->Act(self->OnUploadAccepted(accept != 0));
      });
      break;
    }
    case WM_FILE_PROGRESS:
      if (cb.onRecvFileProgress) cb.onRecvFileProgress(user, static_cast<int>(done), static_cast<int>(total));
      break;
    case WM_FILE_FAIL:
    case WM_FILE_WRITE_FAILED:
      if (cb.onRecvFileFail) cb.onRecvFileFail(user, path.c_str(), 6);
      break;
    case WM_FILE_FAIL_DEVICE:
      if (cb.onRecvFileFail) cb.onRecvFileFail(user, path.c_str(), 5);
      break;
    case WM_FILE_SUCCESS:
      if (cb.onRecvFileSucc) cb.onRecvFileSucc(user, path.c_str());
      break;
    default:
      break;
  }
}

}  // namespace velmo
