#include "socketserver/DeviceExchange.h"

#include <algorithm>

#include "socketserver/ServerClientSocket.h"

namespace velmo {

namespace {

constexpr std::chrono::milliseconds kAbortCheck{100};

// Waits in slices of at most 100 ms (each woken at once by the awaited change)
// so that `abort` is looked at between them. Returns `done()`'s last answer.
template <class Wait>
bool SlicedWait(std::chrono::milliseconds stage, const platform::StopSignal* abort, Wait wait) {
  if (!abort) return wait(stage);
  auto deadline = std::chrono::steady_clock::now() + stage;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) left = std::chrono::milliseconds(0);
    if (wait(std::min(left, kAbortCheck))) return true;
    if (abort->IsSet() || left <= kAbortCheck) return false;
  }
}

}  // namespace

bool QueueAndWait(CServerClientSocket& target, std::string_view text, bool lineFeed, std::chrono::milliseconds stage,
                  const platform::StopSignal* abort) {
  std::string queued(text);
  if (lineFeed) queued.push_back('\n');
  SharedRing::Span span = target.RequestRing().PushAll(queued.data(), queued.size());
  return SlicedWait(stage, abort,
                    [&](std::chrono::milliseconds slice) { return target.RequestRing().WaitTaken(span, slice); });
}

namespace {

QueryAnswer RunRound(CServerClientSocket& target, std::string_view text, bool lineFeed,
                     std::chrono::milliseconds stage, const platform::StopSignal* abort) {
  QueryAnswer answer;
  target.ReplyRing().Clear();
  answer.taken = QueueAndWait(target, text, lineFeed, stage, abort);
  if (!answer.taken) return answer;
  if (!SlicedWait(stage, abort,
                  [&](std::chrono::milliseconds slice) { return target.ReplyRing().WaitFor(false, slice); })) {
    return answer;
  }
  answer.length = target.ReplyRing().PopInto(answer.record.data(), answer.record.size(), true);
  answer.answered = answer.length > 0;
  return answer;
}

}  // namespace

QueryAnswer QueryAndWait(CServerClientSocket& target, std::string_view text, bool lineFeed,
                         std::chrono::milliseconds stage, const platform::StopSignal* abort) {
  CQueryRound& round = target.QueryRound();
  const auto roundLimit = 2 * stage + std::chrono::milliseconds(500);
  std::unique_lock<std::mutex> lock(round.mutex);
  while (round.inFlight) {
    if (round.text == text) {
      const std::uint64_t joined = round.generation;
      if (!round.done.wait_for(lock, roundLimit, [&] { return round.generation != joined; })) return QueryAnswer{};
      return round.last;
    }
    if (!round.done.wait_for(lock, roundLimit, [&] { return !round.inFlight; })) return QueryAnswer{};
  }
  round.inFlight = true;
  round.text = std::string(text);
  lock.unlock();

  QueryAnswer answer = RunRound(target, text, lineFeed, stage, abort);

  lock.lock();
  round.last = answer;
  round.inFlight = false;
  ++round.generation;
  lock.unlock();
  round.done.notify_all();
  return answer;
}

}  // namespace velmo
