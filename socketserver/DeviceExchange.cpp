#include "socketserver/DeviceExchange.h"

#include "socketserver/ServerClientSocket.h"

namespace velmo {

bool QueueAndWait(CServerClientSocket& target, std::string_view text, bool lineFeed, std::chrono::milliseconds stage) {
  std::string queued(text);
  if (lineFeed) queued.push_back('\n');
  SharedRing::Span span = target.RequestRing().PushAll(queued.data(), queued.size());
  return target.RequestRing().WaitTaken(span, stage);
}

namespace {

QueryAnswer RunRound(CServerClientSocket& target, std::string_view text, bool lineFeed,
                     std::chrono::milliseconds stage) {
  QueryAnswer answer;
  target.ReplyRing().Clear();
  answer.taken = QueueAndWait(target, text, lineFeed, stage);
  if (!answer.taken) return answer;
  if (!target.ReplyRing().WaitFor(false, stage)) return answer;
  answer.length = target.ReplyRing().PopInto(answer.record.data(), answer.record.size(), true);
  answer.answered = answer.length > 0;
  return answer;
}

}  // namespace

QueryAnswer QueryAndWait(CServerClientSocket& target, std::string_view text, bool lineFeed,
                         std::chrono::milliseconds stage) {
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

  QueryAnswer answer = RunRound(target, text, lineFeed, stage);

  lock.lock();
  round.last = answer;
  round.inFlight = false;
  ++round.generation;
  lock.unlock();
  round.done.notify_all();
  return answer;
}

}  // namespace velmo
