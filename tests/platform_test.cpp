// The message loop (targets, bounded queue, destroy, remove, retry), the
// parked OS thread and the worker pool.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <pthread.h>

#include "platform/MessageLoop.h"
#include "platform/OsThread.h"
#include "platform/WorkerPool.h"
#include "tests/TestSupport.h"

namespace velmo::test {
namespace {

using platform::MessageLoop;
using platform::PostResult;


TEST(MessageLoop, DeliversInOrderToTheRightTarget) {
  MessageLoop loop;
  std::vector<std::string> seen;
  auto a = loop.CreateTarget([&](std::uint32_t m, std::uintptr_t w, std::uintptr_t l) {
    seen.push_back("a" + std::to_string(m) + ":" + std::to_string(w) + ":" + std::to_string(l));
  });
  auto b = loop.CreateTarget([&](std::uint32_t m, std::uintptr_t, std::uintptr_t) { seen.push_back("b" + std::to_string(m)); });
  EXPECT_EQ(loop.Post(a, 1, 10, 20), PostResult::Ok);
  EXPECT_EQ(loop.Post(b, 2, 0, 0), PostResult::Ok);
  EXPECT_EQ(loop.Post(a, 3, 0, 0), PostResult::Ok);
  loop.ProcessPending();
  EXPECT_EQ(seen, (std::vector<std::string>{"a1:10:20", "b2", "a3:0:0"}));
  EXPECT_EQ(loop.QueuedCount(), 0u);
}

TEST(MessageLoop, BoundedQueueAnswersQueueFull) {
  MessageLoop loop(3);
  int handled = 0;
  auto t = loop.CreateTarget([&](std::uint32_t, std::uintptr_t, std::uintptr_t) { ++handled; });
  for (int i = 0; i < 3; ++i) EXPECT_EQ(loop.Post(t, 1, 0, 0), PostResult::Ok);
  EXPECT_EQ(loop.Post(t, 1, 0, 0), PostResult::QueueFull);
  EXPECT_EQ(loop.PostTask([] {}), PostResult::QueueFull);
  loop.ProcessPending();
  EXPECT_EQ(handled, 3);
  EXPECT_EQ(loop.Post(t, 1, 0, 0), PostResult::Ok);
}

TEST(MessageLoop, DestroyDiscardsQueuedMessagesAndRefusesLaterPosts) {
  MessageLoop loop;
  int handledA = 0, handledB = 0;
  auto a = loop.CreateTarget([&](std::uint32_t, std::uintptr_t, std::uintptr_t) { ++handledA; });
  auto b = loop.CreateTarget([&](std::uint32_t, std::uintptr_t, std::uintptr_t) { ++handledB; });
  loop.Post(a, 1, 0, 0);
  loop.Post(b, 1, 0, 0);
  loop.Post(a, 2, 0, 0);
  loop.DestroyTarget(a);
  EXPECT_EQ(loop.QueuedCount(), 1u);
  EXPECT_EQ(loop.Post(a, 1, 0, 0), PostResult::NoTarget);
  loop.ProcessPending();
  EXPECT_EQ(handledA, 0);
  EXPECT_EQ(handledB, 1);
}

TEST(MessageLoop, HandlerThatDestroysItsTargetStopsLaterMessages) {
  MessageLoop loop;
  int handled = 0;
  platform::TargetId self = 0;
  self = loop.CreateTarget([&](std::uint32_t, std::uintptr_t, std::uintptr_t) {
    ++handled;
    loop.DestroyTarget(self);
  });
  loop.Post(self, 1, 0, 0);
  loop.Post(self, 1, 0, 0);
  loop.ProcessPending();
  EXPECT_EQ(handled, 1);
}

TEST(MessageLoop, RemoveTakesOneNumberOfOneTargetOnTheLoopThreadOnly) {
  MessageLoop loop;
  std::vector<std::uint32_t> seen;
  auto a = loop.CreateTarget([&](std::uint32_t m, std::uintptr_t, std::uintptr_t) { seen.push_back(m); });
  auto b = loop.CreateTarget([&](std::uint32_t m, std::uintptr_t, std::uintptr_t) { seen.push_back(100 + m); });
  loop.Post(a, 2030, 1, 0);
  loop.Post(a, 2034, 0, 0);
  loop.Post(b, 2030, 0, 0);
  loop.Post(a, 2030, 2, 0);

  std::vector<platform::Message> offThread;
  std::thread([&] { offThread = loop.Remove(a, 2030); }).join();
  EXPECT_TRUE(offThread.empty());
  EXPECT_EQ(loop.QueuedCount(), 4u);

  auto removed = loop.Remove(a, 2030);
  ASSERT_EQ(removed.size(), 2u);
  EXPECT_EQ(removed[0].wParam, 1u);
  EXPECT_EQ(removed[1].wParam, 2u);
  loop.ProcessPending();
  EXPECT_EQ(seen, (std::vector<std::uint32_t>{2034, 2130}));
}

TEST(MessageLoop, TimersRunOnTheLoopUntilKilled) {
  LoopThread window;
  std::atomic<int> ticks{0};
  auto id = window.Call([&] { return window.Loop().SetTimer(5ms, [&] { ++ticks; }); });
  EXPECT_TRUE(WaitUntil([&] { return ticks.load() >= 3; }));
  window.Call([&] { window.Loop().KillTimer(id); });
  int after = ticks.load();
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(ticks.load(), after);
}

TEST(PostWithRetry, RetriesWhileTheQueueIsFullAndSucceedsOnceItDrains) {
  MessageLoop loop(1);
  int handled = 0;
  auto t = loop.CreateTarget([&](std::uint32_t, std::uintptr_t, std::uintptr_t) { ++handled; });
  ASSERT_EQ(loop.Post(t, 1, 0, 0), PostResult::Ok);
  platform::StopSignal stop;
  std::atomic<bool> posted{false};
  std::thread poster([&] { posted = platform::PostWithRetry(loop, t, 2, 0, 0, stop, 5ms); });
  std::this_thread::sleep_for(30ms);
  EXPECT_FALSE(posted.load());
  loop.ProcessPending();  // frees the slot
  poster.join();
  EXPECT_TRUE(posted.load());
  loop.ProcessPending();
  EXPECT_EQ(handled, 2);
}

TEST(PostWithRetry, GivesUpWhenTheStopFlagIsSetOrTheTargetIsGone) {
  MessageLoop loop(1);
  auto t = loop.CreateTarget([](std::uint32_t, std::uintptr_t, std::uintptr_t) {});
  ASSERT_EQ(loop.Post(t, 1, 0, 0), PostResult::Ok);
  platform::StopSignal stop;
  std::atomic<bool> result{true};
  // A long retry interval: only the stop flag can end the wait quickly.
  std::thread poster([&] { result = platform::PostWithRetry(loop, t, 2, 0, 0, stop, std::chrono::hours(1)); });
  std::this_thread::sleep_for(20ms);
  stop.Set();
  poster.join();
  EXPECT_FALSE(result.load());

  platform::StopSignal never;
  loop.DestroyTarget(t);
  EXPECT_FALSE(platform::PostWithRetry(loop, t, 1, 0, 0, never, 1ms));

  platform::StopSignal already;
  already.Set();
  auto u = loop.CreateTarget([](std::uint32_t, std::uintptr_t, std::uintptr_t) {});
  EXPECT_FALSE(platform::PostWithRetry(loop, u, 1, 0, 0, already, 1ms));
  EXPECT_EQ(loop.QueuedCount(), 0u);
}

TEST(OsThread, RunsOnlyAfterResumeAndANeverResumedThreadJoinsAtOnce) {
  std::atomic<int> runs{0};
  {
    platform::OsThread t;
    ASSERT_TRUE(t.Create([&] { ++runs; }, 0));
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(runs.load(), 0);
    EXPECT_TRUE(t.Resume());
    EXPECT_FALSE(t.Resume());
    t.Join();
    EXPECT_EQ(runs.load(), 1);
  }
  {
    platform::OsThread parked;
    ASSERT_TRUE(parked.Create([&] { ++runs; }, -1));
    parked.Join();
  }
  EXPECT_EQ(runs.load(), 1);
}

TEST(OsThread, CreationFailureIsReportedNotThrown) {
  platform::OsThread::FailNextCreatesForTesting(1);
  platform::OsThread t;
  EXPECT_FALSE(t.Create([] {}, 0));
  EXPECT_FALSE(t.IsCreated());
  EXPECT_FALSE(t.Resume());
  t.Join();
  platform::OsThread u;
  EXPECT_TRUE(u.Create([] {}, 0));
}

TEST(WorkerPool, StartsWorkersOnlyWhenAllAreBusyNamesThemAndRefusesAfterStop) {
  platform::CWorkerPool pool(2, "velmo-test-pool-long-name");
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  std::atomic<int> done{0};
  std::string name;
  auto blocker = [&] {
    char buf[32] = {};
    pthread_getname_np(pthread_self(), buf, sizeof buf);
    std::unique_lock<std::mutex> lock(m);
    name = buf;
    cv.wait(lock, [&] { return release; });
    ++done;
  };
  ASSERT_TRUE(pool.Submit(blocker));
  ASSERT_TRUE(pool.Submit(blocker));
  ASSERT_TRUE(pool.Submit([&] { ++done; }));  // waits: both workers are busy and the pool is full
  EXPECT_EQ(pool.Workers(), 2u);
  std::this_thread::sleep_for(10ms);
  EXPECT_EQ(done.load(), 0);
  {
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(name, "velmo-test-pool");  // cut to the 15 bytes a thread name may have
    release = true;
  }
  cv.notify_all();
  ASSERT_TRUE(WaitUntil([&] { return done.load() == 3; }));
  ASSERT_TRUE(pool.Submit([&] { ++done; }));  // an idle worker takes it
  ASSERT_TRUE(WaitUntil([&] { return done.load() == 4; }));
  EXPECT_EQ(pool.Workers(), 2u);
  pool.Stop();
  EXPECT_FALSE(pool.Submit([&] { ++done; }));

  platform::OsThread::FailNextCreatesForTesting(1);
  platform::CWorkerPool empty(1);
  EXPECT_FALSE(empty.Submit([] {}));  // no worker could be started: the job is refused, not lost silently
}

}  // namespace
}  // namespace velmo::test
