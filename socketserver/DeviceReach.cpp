#include "socketserver/DeviceReach.h"

#include <boost/asio/steady_timer.hpp>
#include <cstring>
#include <vector>

#include "platform/Utf8ToGbk.h"
#include "socketserver/ClientRegistry.h"
#include "socketserver/DeviceCounters.h"
#include "socketserver/ServerClientSocket.h"

namespace velmo {

namespace {

using Clock = std::chrono::steady_clock;

bool Counted(CommandSource source) { return source == CommandSource::Api || source == CommandSource::Admin; }

std::size_t CommandLimit(CommandSource source) { return Counted(source) ? kMaxCommandText : kMaxRelayText; }

}  // namespace

ConvertedText ConvertToGbk(std::string_view utf8) {
  ConvertedText out;
  if (utf8.empty()) return out;
  std::vector<char> converted(utf8.size());  // the output is never longer than the input
  int length = 0;
  Utf8ToGbk(utf8.data(), static_cast<int>(utf8.size()), converted.data(), &length);
  out.length = static_cast<std::size_t>(length);
  out.text.assign(converted.data(), strnlen(converted.data(), out.length));
  return out;
}

// One request's decision, on its home. The timer's handler holds it (so it
// lives until its bound has passed or it was decided, and goes with its home's
// context); completions from other threads hold it weakly and reach it
// through the home's gate.
template <class Outcome>
class CDecision : public std::enable_shared_from_this<CDecision<Outcome>> {
 public:
  using Done = std::function<void(const Outcome&)>;

  CDecision(const platform::ThreadHome& home, Done done) : home_(home), timer_(*home.io), done_(std::move(done)) {}

  // Home: after `bound`, decides `expired` unless decided before; `onExpiry`
  // (if set) runs first, to stop what still waits elsewhere.
  void Bound(std::chrono::milliseconds bound, Outcome expired, std::function<void()> onExpiry = nullptr) {
    timer_.expires_after(bound);
    timer_.async_wait([self = this->shared_from_this(), expired = std::move(expired),
                       onExpiry = std::move(onExpiry)](const boost::system::error_code& ec) {
      if (ec || self->decided_) return;
      if (onExpiry) onExpiry();
      self->Decide(expired);
    });
  }

  // Home: the first call decides, later ones are ignored.
  void Decide(const Outcome& outcome) {
    home_.owner->Check("CDeviceReach: a decision");
    if (decided_) return;
    decided_ = true;
    timer_.cancel();
    Done done = std::move(done_);
    done(outcome);
  }

  // Home: decides `outcome` in a moment, on the home, as every decision
  // is made (dropped once the home has stopped).
  void DecideSoon(Outcome outcome) {
    home_.gate->Post([self = this->shared_from_this(), outcome = std::move(outcome)] { self->Decide(outcome); });
  }
  // For completions that come through the home's gate already.
  std::weak_ptr<CDecision> Weak() { return this->weak_from_this(); }

 private:
  const platform::ThreadHome home_;
  boost::asio::steady_timer timer_;
  bool decided_ = false;  // home
  Done done_;             // home; moved out by the decision
};

CDeviceReach::CDeviceReach(const CClientRegistry& registry, CDeviceCounters& counters, ReachTimings timings)
    : registry_(registry), counters_(counters), timings_(timings) {}

void CDeviceReach::SetRemote(std::shared_ptr<IRemoteDevices> remote) {
  std::lock_guard<std::mutex> lock(remoteLock_);
  remote_ = std::move(remote);
}

std::shared_ptr<IRemoteDevices> CDeviceReach::Remote() const {
  std::lock_guard<std::mutex> lock(remoteLock_);
  return remote_;
}

std::shared_ptr<IRemoteDevices> CDeviceReach::RemoteFor(const ReachRequest& request) const {
  if (request.scope != ReachScope::Fleet || request.sn.empty()) return nullptr;
  return Remote();
}

void CDeviceReach::Command(const platform::ThreadHome& home, ReachRequest r, CommandDone done) {
  const bool counted = Counted(r.source);
  const Clock::time_point start = Clock::now();
  // Every outcome passes here: the integrators' commands are counted as they are decided.
  auto decided = [this, counted, start, done = std::move(done)](CommandOutcome outcome) {
    if (counted && outcome != CommandOutcome::Refused) {
      if (outcome != CommandOutcome::Offline) counters_.CommandWait(Clock::now() - start);
      counters_.Command(outcome == CommandOutcome::Taken    ? CommandResult::Taken
                        : outcome == CommandOutcome::Queued ? CommandResult::Queued
                                                            : CommandResult::Offline);
    }
    done(outcome);
  };
  const bool tooLong = r.text.size() > CommandLimit(r.source);
  if (!home) return decided(tooLong ? CommandOutcome::Refused : CommandOutcome::Offline);
  home.owner->Check("CDeviceReach::Command");

  auto decision = std::make_shared<CDecision<CommandOutcome>>(home, std::move(decided));
  if (tooLong) return decision->DecideSoon(CommandOutcome::Refused);
  const std::chrono::milliseconds bound = std::min(r.bound.value_or(Stage()), Stage());
  if (auto target = registry_.FindBySn(r.sn)) {
    auto wait = CCommandWait::Start(target->Mailbox(), r.text, r.lineFeed, home.gate,
                                    [weak = decision->Weak()](bool taken) {
                                      if (auto d = weak.lock()) d->Decide(taken ? CommandOutcome::Taken : CommandOutcome::Queued);
                                    });
    // Not taken in time: Queued, and the text stays for a later heartbeat.
    decision->Bound(bound, CommandOutcome::Queued, [wait] { wait->Cancel(); });
    return;
  }
  if (auto remote = RemoteFor(r)) {
    // Held by another node, or by none: that node decides within the same bound.
    decision->Bound(bound + timings_.remoteMargin, CommandOutcome::Queued);
    remote->SendCommand(r.sn, r.text, r.lineFeed, bound, home.gate,
                        [weak = decision->Weak()](const RemoteCommandResult& result) {
                          if (auto d = weak.lock()) {
                            d->Decide(!result.held   ? CommandOutcome::Offline
                                      : result.taken ? CommandOutcome::Taken
                                                     : CommandOutcome::Queued);
                          }
                        });
    return;
  }
  decision->DecideSoon(CommandOutcome::Offline);
}

void CDeviceReach::Query(const platform::ThreadHome& home, ReachRequest r, QueryDone done) {
  if (!home) return done(QueryOutcome{});
  home.owner->Check("CDeviceReach::Query");
  auto decision = std::make_shared<CDecision<QueryOutcome>>(home, std::move(done));
  const std::chrono::milliseconds bound = std::min(r.bound.value_or(QueryBound()), QueryBound());
  const QueryOutcome unanswered{QueryOutcome::Unanswered, {}};
  if (auto target = registry_.FindBySn(r.sn)) {
    // Refused here; a node that holds the device refuses it the same way.
    if (r.text.size() > kMaxRelayText) return decision->DecideSoon(QueryOutcome{QueryOutcome::Refused, {}});
    auto wait = CQueryWait::Start(target->Mailbox(), std::move(r.text), r.lineFeed, home.gate,
                                  [weak = decision->Weak()](const QueryAnswer& answer) {
                                    if (auto d = weak.lock()) {
                                      d->Decide(QueryOutcome{answer.answered ? QueryOutcome::Answered
                                                                             : QueryOutcome::Unanswered,
                                                             answer});
                                    }
                                  });
    decision->Bound(bound, unanswered, [wait] { wait->Cancel(); });
    return;
  }
  if (auto remote = RemoteFor(r)) {
    decision->Bound(bound + timings_.remoteMargin, unanswered);
    remote->SendQuery(r.sn, r.text, r.lineFeed, bound, home.gate,
                      [weak = decision->Weak()](const RemoteQueryResult& result) {
                        auto d = weak.lock();
                        if (!d) return;
                        if (!result.held) return d->Decide(QueryOutcome{});
                        d->Decide(QueryOutcome{result.answer.answered ? QueryOutcome::Answered
                                                                      : QueryOutcome::Unanswered,
                                               result.answer});
                      });
    return;
  }
  decision->DecideSoon(QueryOutcome{});
}

}  // namespace velmo
