#include "protocol/FrameAssembler.h"

#include <algorithm>
#include <cstring>

namespace velmo {

namespace {
constexpr std::size_t kHeader = 6;

bool IsSpace(std::uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
}  // namespace

long long ReadLenient64(const std::uint8_t* field, int length) {
  int i = 0;
  while (i < length && IsSpace(field[i])) ++i;
  bool negative = false;
  if (i < length && (field[i] == '+' || field[i] == '-')) {
    negative = field[i] == '-';
    ++i;
  }
  long long value = 0;
  while (i < length && field[i] >= '0' && field[i] <= '9' && value < 100000000000000000LL) {
    value = value * 10 + (field[i] - '0');
    ++i;
  }
  return negative ? -value : value;
}

int ReadLenient(const std::uint8_t* field, int length) {
  long long value = ReadLenient64(field, length);
  if (value > 999999999) return 999999999;
  if (value < -999999999) return -999999999;
  return static_cast<int>(value);
}

CFrameAssembler::Scanned CFrameAssembler::Scan(const std::uint8_t* data, std::size_t size, Sink& sink) {
  Scanned result;
  std::size_t& off = result.used;
  postSeen_ = false;
  while (!sink.Stopping()) {
    std::size_t avail = size - off;
    if (avail == 0) break;
    const std::uint8_t* p = data + off;
    if (avail >= 4 && std::memcmp(p, "POST", 4) == 0) {
      postSeen_ = true;
      break;
    }
    if (p[0] != '@') {
      const void* at = std::memchr(p, '@', avail);
      off = at ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(at) - data) : size;
      continue;
    }
    if (avail < kHeader) break;
    int length = ReadLenient(p + 1, 5);
    if (length < 3) {  // no room for the code: not a frame, resynchronise after this "@"
      off += 1;
      continue;
    }
    if (avail < kHeader + static_cast<std::size_t>(length)) break;
    const bool stop = sink.OnFrame(ReadLenient(p + kHeader, 3), p + kHeader, length);
    off += kHeader + static_cast<std::size_t>(length);
    if (stop) {
      result.stopped = true;
      break;
    }
  }
  return result;
}

void CFrameAssembler::Erase(std::size_t count) {
  held_.erase(held_.begin(), held_.begin() + static_cast<long>(std::min(count, held_.size())));
}

void CFrameAssembler::Shrink() {
  if (held_.empty() && held_.capacity() > 0) std::vector<std::uint8_t>().swap(held_);  // an idle connection holds nothing
}

bool CFrameAssembler::ProcessHeld(Sink& sink) {
  for (;;) {
    Scanned s = Scan(held_.data(), held_.size(), sink);
    Erase(s.used);
    if (s.stopped) return true;
    if (!postSeen_ || sink.Stopping()) return false;
    PostVerdict verdict = sink.OnPost(held_.data(), static_cast<int>(held_.size()));
    if (verdict.consumed > 0) Consume(verdict.consumed);
    if (verdict.suspend) return true;
    if (verdict.consumed <= 0) return false;  // the request is not whole yet
  }
}

bool CFrameAssembler::AssembleFrames(const std::uint8_t* bytes, int n, Sink& sink) {
  if (n <= 0) return false;
  const std::size_t total = static_cast<std::size_t>(n);
  if (held_.size() + total > kMaxHeld) held_.clear();
  std::size_t taken = 0;
  // The held bytes are an incomplete frame (they begin with "@") or a "POST"
  // accumulation. Complete the frame from the new bytes, taking no more than
  // it needs, so the rest can be scanned where it lies.
  while (!held_.empty() && taken < total && !sink.Stopping()) {
    if (held_.size() >= 4 && std::memcmp(held_.data(), "POST", 4) == 0) {
      held_.insert(held_.end(), bytes + taken, bytes + total);  // a request accumulates whole
      taken = total;
      const bool stopped = ProcessHeld(sink);
      Shrink();
      return stopped;
    }
    std::size_t want;
    if (held_.size() < kHeader) {
      want = kHeader - held_.size();
    } else {
      int length = ReadLenient(held_.data() + 1, 5);
      std::size_t frame = kHeader + static_cast<std::size_t>(length < 3 ? 3 : length);
      want = frame > held_.size() ? frame - held_.size() : total - taken;
    }
    std::size_t take = std::min(want, total - taken);
    held_.insert(held_.end(), bytes + taken, bytes + taken + take);
    taken += take;
    Scanned s = Scan(held_.data(), held_.size(), sink);
    Erase(s.used);
    if (s.stopped || postSeen_) {
      held_.insert(held_.end(), bytes + taken, bytes + total);  // kept, in order, behind what is held
      const bool stopped = s.stopped || ProcessHeld(sink);
      Shrink();
      return stopped;
    }
  }
  if (held_.empty() && taken < total) {
    // Straight from the receive buffer; keep only what is left over.
    Scanned s = Scan(bytes + taken, total - taken, sink);
    held_.assign(bytes + taken + s.used, bytes + total);
    if (s.stopped) return true;
    if (postSeen_) {
      const bool stopped = ProcessHeld(sink);
      Shrink();
      return stopped;
    }
  }
  Shrink();
  return false;
}

bool CFrameAssembler::Continue(Sink& sink) {
  const bool stopped = ProcessHeld(sink);
  Shrink();
  return stopped;
}

void CFrameAssembler::Keep(const std::uint8_t* bytes, int n) {
  if (n <= 0) return;
  if (held_.size() + static_cast<std::size_t>(n) > kMaxHeld) held_.clear();
  held_.insert(held_.end(), bytes, bytes + n);
}

void CFrameAssembler::Consume(int count) {
  if (count <= 0) return;
  std::size_t c = static_cast<std::size_t>(count);
  if (c >= held_.size()) {
    held_.clear();
  } else {
    held_.erase(held_.begin(), held_.begin() + static_cast<long>(c));
  }
}

}  // namespace velmo
