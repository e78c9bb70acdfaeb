// File transfer on the connection's one transfer slot: uploads from the device
// into the file directory (-16 ... -20), downloads by path (-26, -27, -29, -39)
// and the server's cancel (-22). Frames run on the receive thread and messages
// 2029..2035 on the window thread, both under the protocol lock.
//
// Input from the device is hostile: upload names must be plain file names (no
// "/" or "\", not "." or "..", no zero byte, at most 249 bytes) and never
// follow a symbolic link; download paths are resolved and must stay inside the
// download root; sizes, lengths and block sizes are bounded.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "platform/Clock.h"
#include "protocol/FileRecver.h"

namespace velmo {

namespace {

constexpr std::size_t kMaxName = 249;
constexpr std::size_t kMaxPath = 259;
constexpr long long kDefaultBlock = 3072;
constexpr long long kMaxBlock = CServerClientSocket::kMaxPayload - 3;  // 99996: every block can be framed
constexpr long long kMaxFileSize = 0xFFFFFFFFLL;

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

}  // namespace

void CFileRecver::CloseTransfer() {
  // Queued progress reports can only be taken back on the window thread.
  if (auto target = receiverWindow_.load()) conn_.Loop().Remove(target, WM_FILE_PROGRESS);
  if (file_ >= 0) close(file_);
  file_ = -1;
  transfer_ = Transfer::None;
}

void CFileRecver::SendOrClose(std::string_view payload) {
  if (!SendPayload(payload)) conn_.PostClose(WM_CLOSE_SEND_FAILED);
}

void CFileRecver::ProgressStep() {
  std::uint32_t now = platform::TickMs();
  if (now < lastProgressTick_) lastProgressTick_ = 0;  // the tick wrapped
  if (now - lastProgressTick_ > conn_.Settings().progressIntervalMs || done_ >= total_) {
    PostToReceiver(WM_FILE_PROGRESS);
    lastProgressTick_ = now;
  } else {
    sched_yield();
  }
}

void CFileRecver::CheckComplete() {
  if (transfer_ != Transfer::Upload) return;
  struct stat st {};
  if (fstat(file_, &st) != 0 || static_cast<unsigned long long>(st.st_size) < total_) return;
  CloseTransfer();
  if (SendPayload("-20")) {
    PostToReceiver(WM_FILE_SUCCESS);
  } else {
    conn_.PostClose(WM_CLOSE_SEND_FAILED);
  }
}

void CFileRecver::CancelTransfer() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (transfer_ == Transfer::Upload) SendOrClose("-22");
  CloseTransfer();
}

void CFileRecver::OnUploadRequest(const std::uint8_t* payload, int length) {
  CloseTransfer();  // an earlier transfer ends here, without a report
  const long long size = ReadLenient64(payload + 3, std::clamp(length - 3, 0, 10));
  std::string_view name;
  if (length > 13) name = std::string_view(reinterpret_cast<const char*>(payload) + 13, static_cast<std::size_t>(length - 13));
  const std::string dir = conn_.Settings().fileDir;

  const char* problem = UploadNameProblem(name);
  if (!problem && (size < 0 || size > kMaxFileSize)) problem = "the size is not below 4 GiB";
  if (!problem && dir.size() + name.size() > kMaxPath) problem = "the file directory and the name are longer than 259 bytes";
  path_ = dir + std::string(name.substr(0, kMaxPath - std::min(kMaxPath, dir.size())));
  uploadRefused_ = problem != nullptr;
  if (problem) {
    Trace(std::string("upload refused: ") + problem);
  } else {
    total_ = static_cast<std::uint32_t>(size);
    unlink(path_.c_str());  // the old file of that name goes; the result does not matter
  }
  PostToReceiver(WM_FILE_REQUEST);
}

void CFileRecver::OnUploadRequested() {
  const auto& cb = conn_.Settings().callbacks;
  auto fail = [&] {
    CloseTransfer();
    if (cb.onRecvFileFail) cb.onRecvFileFail(conn_.UserData(), path_.c_str(), 6);
    SendOrClose("-24");
  };
  if (file_ >= 0) return;
  if (uploadRefused_) return fail();
  int accept = 1;
  if (cb.onRecvFileRequest) cb.onRecvFileRequest(conn_.UserData(), path_.c_str(), &accept);
  if (accept == 0) {
    CloseTransfer();
    SendOrClose("-18");
    return;
  }
  unlink(path_.c_str());
  // Never through a symbolic link: the file lands in the file directory or nowhere.
  int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return fail();
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return fail();
  }
  file_ = fd;
  transfer_ = Transfer::Upload;
  done_ = static_cast<std::uint32_t>(std::min<long long>(st.st_size, kMaxFileSize));

  std::uint8_t frame[CServerClientSocket::kFrameHeader + 13];
  std::memcpy(frame + CServerClientSocket::kFrameHeader, "-170000000000", 13);
  bool sent = conn_.SendFrame(frame, 13);
  Trace(frame, sizeof frame);
  if (!sent) {
    CloseTransfer();
    conn_.PostClose(WM_CLOSE_SEND_FAILED);
    return;
  }
  CheckComplete();  // a request for 0 bytes completes at once
}

void CFileRecver::OnUploadData(const std::uint8_t* payload, int length) {
  if (transfer_ != Transfer::Upload) return;  // no upload in progress: ignored
  bool ok = lseek(file_, 0, SEEK_END) >= 0;
  const std::uint8_t* data = payload + 3;
  std::size_t left = static_cast<std::size_t>(length - 3);
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
  if (!ok) {
    CloseTransfer();
    PostToReceiver(WM_FILE_WRITE_FAILED);
    SendOrClose("-24");
    return;
  }
  done_ = static_cast<std::uint32_t>(std::min<long long>(st.st_size, kMaxFileSize));
  if (!SendPayload("-490000000000")) {
    PostToReceiver(WM_FILE_FAIL);  // the file stays open
    return;
  }
  ProgressStep();
  CheckComplete();
}

void CFileRecver::OnUploadEnded(int code) {
  if (transfer_ != Transfer::Upload) return;
  CloseTransfer();
  PostToReceiver(code == -21 ? WM_FILE_FAIL_DEVICE : WM_FILE_FAIL);
}

void CFileRecver::OnDownloadRequest(const std::uint8_t* payload, int length) {
  if (file_ >= 0) CloseTransfer();  // one slot: the earlier transfer's file is closed first
  const long long block = ReadLenient64(payload + 3, std::clamp(length - 3, 0, 10));
  blockSize_ = static_cast<std::uint32_t>(block <= 0 ? kDefaultBlock : std::min(block, kMaxBlock));
  std::string requested;
  if (length > 13) requested.assign(reinterpret_cast<const char*>(payload) + 13, static_cast<std::size_t>(length - 13));
  if (requested.size() > kMaxPath || requested.find('\0') != std::string::npos) {
    Trace("download refused: the path is longer than 259 bytes or holds a zero byte");
    return;
  }
  const std::string root = ResolveRoot(settings_->downloadRoot.empty() ? conn_.Settings().fileDir : settings_->downloadRoot);
  const std::string candidate = !requested.empty() && requested[0] == '/' ? requested : root + "/" + requested;
  char real[PATH_MAX];
  if (root.empty() || !realpath(candidate.c_str(), real)) return;  // missing: no answer
  if (!Inside(real, root)) {
    Trace("download refused: " + requested + " is outside " + root);
    return;
  }
  int fd = open(real, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return;
  }
  if (st.st_size > kMaxFileSize) {
    close(fd);
    Trace("download refused: " + requested + " is 4 GiB or larger");
    return;
  }
  // The CRC-32 of the header, a chunk at a time: the file is never held whole.
  std::vector<std::uint8_t> chunk(1 << 20);
  uLong crc = crc32(0L, Z_NULL, 0);
  for (off_t at = 0; at < st.st_size;) {
    ssize_t n = pread(fd, chunk.data(), chunk.size(), at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      return;
    }
    crc = crc32(crc, chunk.data(), static_cast<uInt>(n));
    at += n;
  }
  file_ = fd;
  transfer_ = Transfer::Download;
  path_ = real;
  downloadName_ = requested.substr(requested.rfind('/') == std::string::npos ? 0 : requested.rfind('/') + 1);
  total_ = static_cast<std::uint32_t>(st.st_size);
  crc_ = static_cast<std::uint32_t>(crc);
  sendOffset_ = 0;
  done_ = 0;
  PostToReceiver(WM_FILE_DOWNLOAD_OPEN);
}

void CFileRecver::OnNextBlock() {
  if (transfer_ != Transfer::Download) return;  // nothing open: ignored
  if (sendOffset_ > total_) {
    CloseTransfer();
    return;
  }
  const std::uint32_t n = std::min(blockSize_, total_ - sendOffset_);
  std::vector<std::uint8_t> frame(CServerClientSocket::kFrameHeader + 3 + n);
  std::memcpy(frame.data() + CServerClientSocket::kFrameHeader, "-39", 3);
  std::size_t got = 0;
  while (got < n) {
    ssize_t r = pread(file_, frame.data() + CServerClientSocket::kFrameHeader + 3 + got, n - got,
                      static_cast<off_t>(sendOffset_) + static_cast<off_t>(got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  if (got < n) {  // the file shrank or cannot be read: the transfer failed
    CloseTransfer();
    PostToReceiver(WM_FILE_FAIL);
    return;
  }
  if (!conn_.SendFrame(frame.data(), static_cast<int>(3 + n))) {
    PostToReceiver(WM_FILE_FAIL);  // the file stays open
    return;
  }
  sendOffset_ += n;
  done_ = sendOffset_;
  ProgressStep();
  if (sendOffset_ >= total_) CloseTransfer();
}

void CFileRecver::OnTransferMessage(std::uint32_t msg) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  const auto& cb = conn_.Settings().callbacks;
  void* user = conn_.UserData();
  switch (msg) {
    case WM_FILE_REQUEST:
      OnUploadRequested();
      break;
    case WM_FILE_PROGRESS:
      if (cb.onRecvFileProgress) cb.onRecvFileProgress(user, static_cast<int>(done_), static_cast<int>(total_));
      break;
    case WM_FILE_FAIL:
    case WM_FILE_WRITE_FAILED:
      if (cb.onRecvFileFail) cb.onRecvFileFail(user, path_.c_str(), 6);
      break;
    case WM_FILE_FAIL_DEVICE:
      if (cb.onRecvFileFail) cb.onRecvFileFail(user, path_.c_str(), 5);
      break;
    case WM_FILE_SUCCESS:
      if (cb.onRecvFileSucc) cb.onRecvFileSucc(user, path_.c_str());
      break;
    case WM_FILE_DOWNLOAD_OPEN: {
      if (transfer_ != Transfer::Download) break;
      char header[40];
      std::snprintf(header, sizeof header, "-27%010u%08x", total_, crc_);
      std::string payload = header + downloadName_;
      std::vector<std::uint8_t> frame(CServerClientSocket::kFrameHeader + payload.size());
      std::copy(payload.begin(), payload.end(), frame.begin() + CServerClientSocket::kFrameHeader);
      bool sent = conn_.SendFrame(frame.data(), static_cast<int>(payload.size()));
      Trace(frame.data(), frame.size());
      if (!sent) {
        CloseTransfer();
        conn_.PostClose(WM_CLOSE_SEND_FAILED);
      }
      break;
    }
    default:
      break;
  }
}

}  // namespace velmo
