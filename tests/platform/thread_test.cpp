#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>

#include "platform/exception.h"
#include "test_support.h"

// std::thread allocates the new thread's start-up state: failing that one
// allocation is how these tests make the creation of a thread throw.
namespace {
thread_local bool FailNextAllocation = false;
}  // namespace

void* operator new(std::size_t Size) {
  if (FailNextAllocation) {
    FailNextAllocation = false;
    throw std::bad_alloc();
  }
  if (void* P = std::malloc(Size == 0 ? 1 : Size)) return P;
  throw std::bad_alloc();
}
void operator delete(void* P) noexcept { std::free(P); }
void operator delete(void* P, std::size_t) noexcept { std::free(P); }

namespace Platform {
class TThreadTestPeer {
public:
  static bool Finished(const TThread& T) { return T.Finished(); }
  static std::string FatalMessage(const TThread& T) { return T.FatalMessage(); }
};
}  // namespace Platform

namespace {

using namespace std::chrono_literals;
using Platform::TThreadTestPeer;

using TestSupport::WaitUntil;

// A worker in the program's style: each pass holds a lock for a while, as the
// session holds a jitter buffer's lock.
class TCounter : public Platform::TThread {
public:
  ~TCounter() override {
    Terminate();
    WaitFor();
  }
  std::atomic<int> Passes{0};
  std::atomic<bool> InPass{false};
  std::atomic<bool> SuspendSelfAt10{false};
  std::mutex PassLock;

protected:
  void Execute() override {
    while (KeepRunning()) {
      std::lock_guard<std::mutex> G(PassLock);
      InPass.store(true);
      std::this_thread::sleep_for(1ms);  // the pass's work
      InPass.store(false);
      if (Passes.fetch_add(1) + 1 == 10 && SuspendSelfAt10.load()) Suspend();
    }
  }
};

TEST(Thread, CreatedSuspendedAndRunsAfterResume) {
  TCounter T;
  EXPECT_FALSE(WaitUntil([&] { return T.Passes.load() > 0; }, 30)) << "ran before its Resume";
  EXPECT_FALSE(TThreadTestPeer::Finished(T));
  T.Resume();
  EXPECT_TRUE(WaitUntil([&] { return T.Passes.load() > 3; }));
  T.Terminate();
  EXPECT_TRUE(T.Terminated());
  T.WaitFor();
  EXPECT_TRUE(TThreadTestPeer::Finished(T));
  EXPECT_EQ(TThreadTestPeer::FatalMessage(T), "");
}

TEST(Thread, SuspendParksBetweenPassesAndResumeGoesOn) {
  TCounter T;
  T.Resume();
  ASSERT_TRUE(WaitUntil([&] { return T.Passes.load() > 2; }));
  for (int Round = 0; Round < 20; ++Round) {
    T.Suspend();
    // Parked at the top of its loop: not inside a pass, not holding its lock.
    EXPECT_FALSE(T.InPass.load());
    std::unique_lock<std::mutex> L(T.PassLock, std::try_to_lock);
    EXPECT_TRUE(L.owns_lock());
    if (L.owns_lock()) L.unlock();
    const int Parked = T.Passes.load();
    EXPECT_FALSE(WaitUntil([&] { return T.Passes.load() != Parked; }, 5)) << "ran while parked";
    T.Resume();
    EXPECT_TRUE(WaitUntil([&] { return T.Passes.load() > Parked; }));
  }
}

TEST(Thread, SuspendFromInsideParksAtTheNextPass) {
  TCounter T;
  T.SuspendSelfAt10.store(true);
  T.Resume();
  ASSERT_TRUE(WaitUntil([&] { return T.Passes.load() >= 10; }));
  EXPECT_FALSE(WaitUntil([&] { return T.Passes.load() > 10; }, 30)) << "ran on after suspending itself";
  EXPECT_EQ(T.Passes.load(), 10);
  T.Resume();
  EXPECT_TRUE(WaitUntil([&] { return T.Passes.load() > 10; }));
}

TEST(Thread, TerminateEndsAParkedThreadAndTheNeverStartedOne) {
  {
    TCounter T;
    T.Resume();
    T.Suspend();
    T.Terminate();
    T.WaitFor();
    EXPECT_TRUE(TThreadTestPeer::Finished(T));
  }
  {
    TCounter T;  // never resumed: Execute never runs, WaitFor does not hang
    T.Terminate();
    T.WaitFor();
    EXPECT_EQ(T.Passes.load(), 0);
  }
  {
    TCounter T;  // suspended before its start: the first Resume still runs it
    T.Suspend();
    T.Resume();
    EXPECT_TRUE(WaitUntil([&] { return T.Passes.load() > 0; }));
  }
}

TEST(Thread, AStartThatCannotCreateTheThreadLeavesItNeverStarted) {
  // On the heap: should WaitFor hang, the object is left to the hung waiter.
  auto* T = new TCounter;
  FailNextAllocation = true;
  try {
    T->Resume();
    ADD_FAILURE() << "Resume did not report the failure";
  } catch (const Exception& E) {
    EXPECT_EQ(E.Message(), "Cannot create a thread: std::bad_alloc");
  }
  auto Returned = std::make_shared<std::atomic<bool>>(false);
  std::thread Waiter([T, Returned] {
    T->WaitFor();
    Returned->store(true);
  });
  if (!WaitUntil([&] { return Returned->load(); })) {
    Waiter.detach();
    FAIL() << "WaitFor waits for a thread that was never created";
  }
  Waiter.join();
  EXPECT_FALSE(TThreadTestPeer::Finished(*T));
  // The next Resume creates it.
  T->Resume();
  EXPECT_TRUE(WaitUntil([&] { return T->Passes.load() > 0; }));
  delete T;
}

TEST(Thread, EscapingExceptionIsKept) {
  class TThrower : public Platform::TThread {
  public:
    ~TThrower() override {
      Terminate();
      WaitFor();
    }

  protected:
    void Execute() override { throw std::runtime_error("broken pass"); }
  } T;
  T.Resume();
  T.WaitFor();
  EXPECT_TRUE(TThreadTestPeer::Finished(T));
  EXPECT_EQ(TThreadTestPeer::FatalMessage(T), "broken pass");
}

// Suspend, Resume and Terminate from several threads at once: no deadlock, and
// the thread ends.
TEST(ThreadConcurrency, ControlFromSeveralThreads) {
  TCounter T;
  T.Resume();
  std::thread A([&] {
    for (int I = 0; I < 200; ++I) {
      T.Suspend();
      T.Resume();
    }
  });
  std::thread B([&] {
    for (int I = 0; I < 200; ++I) {
      T.Resume();
      std::this_thread::yield();
    }
  });
  A.join();
  B.join();
  T.Resume();
  EXPECT_TRUE(WaitUntil([&] { return T.Passes.load() > 0; }));
  T.Terminate();
  T.WaitFor();
  EXPECT_TRUE(TThreadTestPeer::Finished(T));
}

}  // namespace
