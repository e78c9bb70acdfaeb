#include "tests/TestSupport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velmo::test {

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return pred();
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

LoopThread::LoopThread(std::size_t queueLimit) : loop_(queueLimit) {
  std::promise<void> bound;
  auto ready = bound.get_future();
  thread_ = std::thread([this, &bound] {
    loop_.BindToCurrentThread();
    bound.set_value();
    loop_.Run();
  });
  ready.wait();
}

LoopThread::~LoopThread() {
  loop_.Quit();
  thread_.join();
}

EventRecorder::~EventRecorder() {
  // A test that failed shows what the server reported meanwhile.
  if (!::testing::Test::HasFailure()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (lines_.empty()) return;
  std::fprintf(stderr, "--- %zu recorded events:\n", lines_.size());
  for (const auto& l : lines_) std::fprintf(stderr, "  %s\n", l.c_str());
}

void EventRecorder::Add(std::string line) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(std::move(line));
  }
  cv_.notify_all();
}

std::vector<std::string> EventRecorder::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::size_t EventRecorder::Count(const std::string& prefix) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t n = 0;
  for (const auto& l : lines_) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

bool EventRecorder::WaitCount(const std::string& prefix, std::size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, timeout, [&] {
    std::size_t c = 0;
    for (const auto& l : lines_) c += l.rfind(prefix, 0) == 0 ? 1 : 0;
    return c >= n;
  });
}

int LastReason(const EventRecorder& events, const std::string& prefix) {
  const std::vector<std::string> lines = events.Lines();
  for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
    if (line->rfind(prefix, 0) != 0) continue;
    const std::size_t space = line->rfind(' ');
    const std::string number = space == std::string::npos ? "" : line->substr(space + 1);
    if (number.empty() || number.size() > 9 || number.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::stoi(number);
  }
  return -1;
}

int LastCloseReason(const EventRecorder& events) { return LastReason(events, "disconnect "); }

FakeDevice::~FakeDevice() { Close(); }

bool FakeDevice::Connect(std::uint16_t port) {
  Open();
  return ConnectOpened(port);
}

void FakeDevice::Open() {
  Close();
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

bool FakeDevice::ConnectOpened(std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    Close();
    return false;
  }
  return true;
}

bool FakeDevice::Send(const std::string& bytes) {
  std::size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n < 0) return false;
    off += static_cast<std::size_t>(n);
  }
  return true;
}

std::string FakeDevice::Receive(std::size_t n, std::chrono::milliseconds timeout) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (out.size() < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[65536];
    ssize_t r = recv(fd_, buf, std::min(sizeof buf, n - out.size()), 0);
    if (r <= 0) break;
    out.append(buf, static_cast<std::size_t>(r));
  }
  return out;
}

std::string FakeDevice::ReceiveUntil(const std::string& suffix, std::chrono::milliseconds timeout) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (out.size() < suffix.size() || out.compare(out.size() - suffix.size(), suffix.size(), suffix) != 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char c;
    if (recv(fd_, &c, 1, 0) != 1) break;
    out.push_back(c);
  }
  return out;
}

std::string FakeDevice::ReadFrame(std::chrono::milliseconds timeout) {
  std::string header = Receive(6, timeout);
  if (header.size() != 6 || header[0] != '@') return "";
  std::size_t length = static_cast<std::size_t>(std::stoi(header.substr(1)));
  std::string payload = Receive(length, timeout);
  return payload.size() == length ? payload : "";
}

bool FakeDevice::Silent(std::chrono::milliseconds quiet) {
  pollfd p{fd_, POLLIN, 0};
  return poll(&p, 1, static_cast<int>(quiet.count())) == 0;
}

std::string Frame(const std::string& payload) {
  char header[8];
  std::snprintf(header, sizeof header, "@%05zu", payload.size());
  return header + payload;
}

bool FakeDevice::WaitClosed(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buf[4096];
    ssize_t r = recv(fd_, buf, sizeof buf, 0);
    if (r == 0 || (r < 0 && errno == ECONNRESET)) return true;
    if (r < 0) return false;
  }
}

void FakeDevice::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void FakeDevice::Shutdown() {
  if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
}

void FakeDevice::Reset() {
  if (fd_ < 0) return;
  linger l{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  Close();
}

std::uint16_t FakeDevice::LocalPort() const {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  return ntohs(addr.sin_port);
}

DeviceInfo SampleDeviceInfo() {
  DeviceInfo i;
  const std::uint16_t runtime[6] = {2024, 1, 2, 3, 4, 5}, mac[6] = {0x12, 0xAB, 0x0C, 0x00, 0xFF, 0x1FF},
                      version[3] = {1, 2, 3};
  const std::uint8_t ip[4] = {192, 168, 1, 20};
  std::copy(runtime, runtime + 6, i.runtime);
  std::copy(mac, mac + 6, i.mac);
  std::copy(version, version + 3, i.version);
  std::copy(ip, ip + 4, i.ip);
  return i;
}

std::uint16_t FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

}  // namespace velmo::test
