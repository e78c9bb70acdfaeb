// The message loop (targets, bounded queue, destroy, remove, timers), the
// parked OS thread, thread ownership checks and the I/O threads.
#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <pthread.h>

#include "platform/IoThread.h"
#include "platform/MessageLoop.h"
#include "platform/OsThread.h"
#include "platform/ThreadCheck.h"
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

TEST(MessageLoop, FlagsRaisedBySignalsReachTheLoopThreadOnce) {
  MessageLoop loop;
  loop.BindToCurrentThread();
  std::vector<std::uint32_t> seen;
  loop.SetSignalHandler([&](std::uint32_t flags) { seen.push_back(flags); });
  std::thread raiser([&] {
    loop.RaiseFromSignal(1);
    loop.RaiseFromSignal(4);
  });
  raiser.join();
  pollfd woken{loop.WakeFd(), POLLIN, 0};
  ASSERT_EQ(poll(&woken, 1, 1000), 1);  // the raise woke the loop
  loop.ProcessPending();
  loop.ProcessPending();
  EXPECT_EQ(seen, std::vector<std::uint32_t>{5});  // both flags, in one call, once
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

TEST(ThreadCheck, AWrongThreadAbortsNamingBothThreads) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_DEATH(
      {
        platform::CThreadOwner owner;
        std::thread([&] {
          pthread_setname_np(pthread_self(), "velmo-owner");
          owner.Bind();
        }).join();
        pthread_setname_np(pthread_self(), "velmo-caller");
        owner.Check("CTest::Touch");
      },
      "velmo: CTest::Touch must run on thread 'velmo-owner' .* but runs on thread 'velmo-caller'");
  platform::CThreadOwner mine;
  mine.Bind();
  mine.Check("CTest::Touch");  // the owner passes
  EXPECT_TRUE(mine.IsCurrent());
}

TEST(MessageLoop, LoopThreadCallsAbortElsewhereInEveryBuild) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_DEATH(
      {
        MessageLoop loop;
        std::thread([&] { loop.SetTimer(1ms, [] {}); }).join();
      },
      "MessageLoop::SetTimer must run on");
}

TEST(IoThread, RunsWorkOnItsNamedThreadAndRefusesWorkOnceStopped) {
  platform::CIoThread io("velmo-test-io");
  ASSERT_TRUE(io.Start());
  EXPECT_FALSE(io.IsCurrent());
  std::promise<std::string> ran;
  ASSERT_TRUE(io.Gate()->Post([&] {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    ran.set_value(std::string(name) + (io.IsCurrent() ? " owns" : " does not own"));
  }));
  EXPECT_EQ(ran.get_future().get(), "velmo-test-io owns");

  std::atomic<int> beforeStop{0};
  for (int i = 0; i < 100; ++i) io.Gate()->Post([&] { ++beforeStop; });
  io.Stop();
  EXPECT_EQ(beforeStop.load(), 100);  // what was queued before Stop has run
  bool ranLate = false;
  EXPECT_FALSE(io.Gate()->Post([&] { ranLate = true; }));  // the gate is closed
  EXPECT_FALSE(ranLate);
  io.Stop();  // twice is harmless
}

}  // namespace
}  // namespace velmo::test
