#include "socketserver/DeviceExchange.h"

#include <boost/asio/post.hpp>

namespace velmo {

struct CDeviceMailbox::Round {
  Round(boost::asio::io_context& io, std::uint64_t roundId, std::string queued)
      : id(roundId), text(std::move(queued)), timer(io) {}
  const std::uint64_t id;
  const std::string text;  // the bytes queued, line feed included
  SharedRing::Span span;
  bool taken = false;
  boost::asio::steady_timer timer;  // the bound of the current stage
  unsigned stage = 0;               // which stage the timer bounds: a stale expiry is ignored
  std::vector<std::shared_ptr<CQueryWait>> waiters;
};

// Tells the mailbox when a round's text was taken. Holds the mailbox weakly:
// the request ring that holds this waiter belongs to the mailbox.
class CDeviceMailbox::RoundTaken final : public CRingWaiter {
 public:
  RoundTaken(std::weak_ptr<CDeviceMailbox> mailbox, std::uint64_t id) : mailbox_(std::move(mailbox)), id_(id) {}
  void OnRingDecided(bool taken) override {
    auto mailbox = mailbox_.lock();
    if (!mailbox) return;
    if (mailbox->owner_.IsCurrent()) {
      // At once: the device's record may be read in this very round of the
      // I/O thread, and it must find its round taken.
      mailbox->OnRoundTaken(id_, taken);
      return;
    }
    mailbox->gate_->Post([weak = mailbox_, id = id_, taken] {
      if (auto m = weak.lock()) m->OnRoundTaken(id, taken);
    });
  }

 private:
  const std::weak_ptr<CDeviceMailbox> mailbox_;
  const std::uint64_t id_;
};

CDeviceMailbox::CDeviceMailbox(std::shared_ptr<boost::asio::io_context> io, platform::GatePtr gate,
                               const platform::CThreadOwner& owner, std::chrono::milliseconds stage)
    : io_(std::move(io)), gate_(std::move(gate)), owner_(owner), stage_(stage) {}

CDeviceMailbox::~CDeviceMailbox() = default;

CDeviceMailbox::Round* CDeviceMailbox::Find(std::uint64_t id) {
  for (Round& r : rounds_) {
    if (r.id == id) return &r;
  }
  return nullptr;
}

void CDeviceMailbox::Join(std::shared_ptr<CQueryWait> wait, const std::string& text, bool lineFeed) {
  owner_.Check("CDeviceMailbox::Join");
  if (abandoned_) return wait->Finish(QueryAnswer{});
  std::string queued = text;
  if (lineFeed) queued.push_back('\n');
  for (Round& r : rounds_) {
    if (r.text == queued) {
      r.waiters.push_back(std::move(wait));
      return;
    }
  }
  Round& round = rounds_.emplace_back(*io_, nextRound_++, std::move(queued));
  round.waiters.push_back(std::move(wait));
  round.span = request_.PushAll(round.text.data(), round.text.size());
  ArmStage(round);
  request_.WhenTaken(round.span, std::make_shared<RoundTaken>(weak_from_this(), round.id));
}

void CDeviceMailbox::OnRoundTaken(std::uint64_t id, bool taken) {
  owner_.Check("CDeviceMailbox::OnRoundTaken");
  Round* round = Find(id);
  if (!round) return;
  if (!taken) return Finish(*round, QueryAnswer{});
  round->taken = true;
  // Bytes that came before the device had this text cannot be its answer.
  reply_.Clear();
  ArmStage(*round);
}

void CDeviceMailbox::ArmStage(Round& round) {
  // An expiry already on its way when the timer is set again still runs:
  // it carries the stage it was set for, and is ignored once that has passed.
  const unsigned stage = ++round.stage;
  round.timer.expires_after(stage_);
  round.timer.async_wait([weak = weak_from_this(), id = round.id, stage](const boost::system::error_code& ec) {
    if (ec) return;
    if (auto m = weak.lock()) m->OnRoundTimer(id, stage);
  });
}

void CDeviceMailbox::OnRoundTimer(std::uint64_t id, unsigned stage) {
  owner_.Check("CDeviceMailbox::OnRoundTimer");
  Round* round = Find(id);
  if (!round || round->stage != stage) return;
  QueryAnswer answer;
  answer.taken = round->taken;
  Finish(*round, answer);
}

void CDeviceMailbox::OnRecord(const std::uint8_t* bytes, std::size_t length) {
  owner_.Check("CDeviceMailbox::OnRecord");
  reply_.PushAll(bytes, length);
  for (Round& r : rounds_) {
    if (!r.taken) continue;
    QueryAnswer answer;
    answer.taken = true;
    answer.length = reply_.PopInto(answer.record.data(), answer.record.size(), true);
    answer.answered = answer.length > 0;
    return Finish(r, answer);
  }
}

void CDeviceMailbox::Finish(Round& round, const QueryAnswer& answer) {
  const std::uint64_t id = round.id;
  round.timer.cancel();
  for (auto& w : round.waiters) w->Finish(answer);
  rounds_.remove_if([id](const Round& r) { return r.id == id; });
}

void CDeviceMailbox::Abandon() {
  owner_.Check("CDeviceMailbox::Abandon");
  abandoned_ = true;
  request_.Abandon();
  reply_.Abandon();
  while (!rounds_.empty()) {
    QueryAnswer answer;
    answer.taken = rounds_.front().taken;
    Finish(rounds_.front(), answer);
  }
}

std::shared_ptr<CCommandWait> CCommandWait::Start(CDeviceMailbox& mailbox, std::string_view text, bool lineFeed,
                                                  platform::GatePtr home, Done done) {
  auto wait = std::make_shared<CCommandWait>(mailbox.shared_from_this(), std::move(home), std::move(done));
  std::string queued(text);
  if (lineFeed) queued.push_back('\n');
  SharedRing::Span span = mailbox.Request().PushAll(queued.data(), queued.size());
  mailbox.Request().WhenTaken(span, wait);
  return wait;
}

CCommandWait::CCommandWait(std::shared_ptr<CDeviceMailbox> mailbox, platform::GatePtr home, Done done)
    : mailbox_(mailbox), home_(std::move(home)), done_(std::move(done)) {}

void CCommandWait::OnRingDecided(bool taken) { Finish(taken); }

void CCommandWait::Finish(bool taken) {
  if (finished_.exchange(true)) return;
  if (home_) home_->Post([done = std::move(done_), taken] { done(taken); });
}

void CCommandWait::Cancel() {
  if (finished_.exchange(true)) return;
  if (auto mailbox = mailbox_.lock()) mailbox->Request().CancelWait(this);
  done_ = nullptr;  // what it holds of its waiter goes now
}

std::shared_ptr<CQueryWait> CQueryWait::Start(CDeviceMailbox& mailbox, std::string text, bool lineFeed,
                                              platform::GatePtr home, Done done) {
  auto wait = std::make_shared<CQueryWait>(std::move(home), std::move(done));
  bool posted = mailbox.gate_->Post([weak = mailbox.weak_from_this(), wait, text = std::move(text), lineFeed] {
    if (auto m = weak.lock()) {
      m->Join(wait, text, lineFeed);
    } else {
      wait->Finish(QueryAnswer{});
    }
  });
  if (!posted) wait->Finish(QueryAnswer{});
  return wait;
}

void CQueryWait::Finish(const QueryAnswer& answer) {
  if (finished_.exchange(true)) return;
  if (home_) home_->Post([done = std::move(done_), answer] { done(answer); });
}

void CQueryWait::Cancel() {
  if (finished_.exchange(true)) return;
  done_ = nullptr;  // its round may still run; its answer goes nowhere
}

}  // namespace velmo
