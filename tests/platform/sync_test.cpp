#include "platform/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/exception.h"

namespace {

using Platform::TakeBoth;
using Platform::TEvent;
using Platform::TSemaphore;
using Platform::TWaitResult;
using Platform::WaitForEither;
using Platform::WaitInfinite;
using TSteady = std::chrono::steady_clock;

long long MsSince(TSteady::time_point Start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(TSteady::now() - Start).count();
}

// Runs Fn on another thread after a short delay, joined at the end of the scope.
class TLater {
public:
  template <typename TFn>
  explicit TLater(TFn Fn, int DelayMs = 30)
      : FThread([Fn, DelayMs] {
          std::this_thread::sleep_for(std::chrono::milliseconds(DelayMs));
          Fn();
        }) {}
  ~TLater() { FThread.join(); }
  TLater(const TLater&) = delete;
  TLater& operator=(const TLater&) = delete;

private:
  std::thread FThread;
};

// ---- events

TEST(Event, ResetModesAndInitialState) {
  struct TCase {
    bool Manual, Initial;
    bool FirstWait, SecondWait;  // two Wait(0) in a row
  };
  const TCase Cases[] = {
      {true, false, false, false},
      {true, true, true, true},     // manual reset stays signalled
      {false, false, false, false},
      {false, true, true, false},   // auto reset: one wait consumes it
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(testing::Message() << "manual=" << C.Manual << " initial=" << C.Initial);
    TEvent E(C.Manual, C.Initial);
    EXPECT_EQ(E.Wait(0), C.FirstWait);
    EXPECT_EQ(E.Wait(0), C.SecondWait);
    E.Set();
    EXPECT_TRUE(E.Wait(0));
    EXPECT_EQ(E.IsSet(), C.Manual);
    E.Reset();
    EXPECT_FALSE(E.Wait(0));
  }
}

TEST(Event, WaitTimesOutAndWakesOnSet) {
  TEvent E(true, false);
  auto Start = TSteady::now();
  EXPECT_FALSE(E.Wait(60));
  EXPECT_GE(MsSince(Start), 55);

  Start = TSteady::now();
  {
    TLater SetIt([&] { E.Set(); });
    EXPECT_TRUE(E.Wait(WaitInfinite));
  }
  EXPECT_LT(MsSince(Start), 5000);
}

TEST(Event, WaitForEitherReportsWhichAndConsumesOnlyTheWinner) {
  struct TCase {
    bool SetFirst, SetSecond;
    TWaitResult Expected;
    bool FirstLeft, SecondLeft;  // auto reset events still signalled afterwards
  };
  const TCase Cases[] = {
      {false, false, TWaitResult::TimedOut, false, false},
      {true, false, TWaitResult::First, false, false},
      {false, true, TWaitResult::Second, false, false},
      {true, true, TWaitResult::First, false, true},  // the first in the list wins
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(testing::Message() << C.SetFirst << C.SetSecond);
    TEvent A(false, C.SetFirst), B(false, C.SetSecond);
    EXPECT_EQ(WaitForEither(A, B, 0), C.Expected);
    EXPECT_EQ(A.IsSet(), C.FirstLeft);
    EXPECT_EQ(B.IsSet(), C.SecondLeft);
  }
  // Manual reset events stay signalled.
  TEvent A(true, true), B(true, false);
  EXPECT_EQ(WaitForEither(A, B, 0), TWaitResult::First);
  EXPECT_TRUE(A.IsSet());
}

TEST(Event, WaitForEitherWakesForEachEventAndTimesOut) {
  TEvent A(true, false), B(true, false);
  auto Start = TSteady::now();
  EXPECT_EQ(WaitForEither(A, B, 60), TWaitResult::TimedOut);
  EXPECT_GE(MsSince(Start), 55);
  {
    TLater SetIt([&] { B.Set(); });
    EXPECT_EQ(WaitForEither(A, B, 5000), TWaitResult::Second);
  }
  B.Reset();
  {
    TLater SetIt([&] { A.Set(); });
    EXPECT_EQ(WaitForEither(A, B, WaitInfinite), TWaitResult::First);
  }
  // The waiter unregistered itself: later sets reach nobody and break nothing.
  A.Set();
  B.Set();
  EXPECT_EQ(WaitForEither(A, B, 0), TWaitResult::First);
}

// Two producers hand tokens through auto reset events, each waiting for an
// acknowledgement before the next one: every token must be seen exactly once.
TEST(EventConcurrency, WaitForEitherSeesEveryTokenOnce) {
  constexpr int Tokens = 3000;
  TEvent Data[2] = {TEvent(false, false), TEvent(false, false)};
  TEvent Ack[2] = {TEvent(false, false), TEvent(false, false)};
  std::vector<std::thread> Producers;
  for (int P = 0; P < 2; ++P)
    Producers.emplace_back([&, P] {
      for (int I = 0; I < Tokens; ++I) {
        Data[P].Set();
        ASSERT_TRUE(Ack[P].Wait(10000));
      }
    });
  int Seen[2] = {0, 0};
  int TimedOut = 0;
  while (Seen[0] + Seen[1] < 2 * Tokens && TimedOut < 5) {
    switch (WaitForEither(Data[0], Data[1], 2000)) {
      case TWaitResult::First: ++Seen[0]; Ack[0].Set(); break;
      case TWaitResult::Second: ++Seen[1]; Ack[1].Set(); break;
      case TWaitResult::TimedOut: ++TimedOut; break;
    }
  }
  for (auto& T : Producers) T.join();
  EXPECT_EQ(Seen[0], Tokens);
  EXPECT_EQ(Seen[1], Tokens);
  EXPECT_EQ(TimedOut, 0);
  EXPECT_FALSE(Data[0].IsSet());
  EXPECT_FALSE(Data[1].IsSet());
}

// The thread that waited may be gone by the time its waker has finished:
// each wait below runs on a thread that ends as soon as it is woken, while
// another thread keeps setting the event.
TEST(EventConcurrency, AWaitingThreadMayEndWhileItsEventIsBeingSet) {
  TEvent Shared(true, false), Never(true, false);
  std::atomic<bool> Done{false};
  std::thread Setter([&] {
    while (!Done) {
      Shared.Set();
      std::this_thread::yield();
      Shared.Reset();
    }
  });
  int Woken = 0;
  for (int I = 0; I < 300; ++I) {
    TWaitResult R = TWaitResult::TimedOut;
    std::thread([&] { R = WaitForEither(Never, Shared, 5000); }).join();
    if (R == TWaitResult::Second) ++Woken;
  }
  Done = true;
  Setter.join();
  EXPECT_EQ(Woken, 300);
}

// A waiter may free the object as soon as its wait has ended, while the
// thread that signalled it is still inside Set or Release.
TEST(EventConcurrency, AnObjectMayBeFreedAsSoonAsItsWaitEnds) {
  for (int I = 0; I < 2000; ++I) {
    auto Event = std::make_unique<TEvent>(false, false);
    auto Semaphore = std::make_unique<TSemaphore>(0, 1);
    TEvent* E = Event.get();
    TSemaphore* S = Semaphore.get();
    std::thread Signaller([E, S] {
      E->Set();
      S->Release();
    });
    ASSERT_TRUE(Event->Wait(5000));
    Event.reset();
    ASSERT_TRUE(Semaphore->Take(5000));
    Semaphore.reset();
    Signaller.join();
  }
}

// ---- semaphores

TEST(Semaphore, CountsAndMaximum) {
  TSemaphore S(1, 3);
  int32_t Previous = -1;
  EXPECT_TRUE(S.Release(&Previous));
  EXPECT_EQ(Previous, 1);
  EXPECT_TRUE(S.Release(&Previous));
  EXPECT_EQ(Previous, 2);
  EXPECT_FALSE(S.Release(&Previous));  // at its maximum: refused, unchanged
  EXPECT_EQ(Previous, 3);
  EXPECT_EQ(S.Count(), 3);
  EXPECT_TRUE(S.TryTake());
  EXPECT_TRUE(S.Take(0));
  EXPECT_TRUE(S.Take(WaitInfinite));
  EXPECT_FALSE(S.TryTake());
  EXPECT_EQ(S.Count(), 0);

  // The mixer's way of reading a count: release one and take it back at once.
  TSemaphore Big(0, 2147483647);
  Big.Release();
  Big.Release();
  EXPECT_TRUE(Big.Release(&Previous));
  EXPECT_EQ(Previous, 2);
  EXPECT_TRUE(Big.TryTake());
  EXPECT_EQ(Big.Count(), 2);

  EXPECT_THROW(TSemaphore(2, 1), Exception);
  EXPECT_THROW(TSemaphore(-1, 1), Exception);
  EXPECT_THROW(TSemaphore(0, 0), Exception);
}

TEST(Semaphore, TakeTimesOutAndWakesOnRelease) {
  TSemaphore S(0, 10);
  auto Start = TSteady::now();
  EXPECT_FALSE(S.Take(60));
  EXPECT_GE(MsSince(Start), 55);
  TLater ReleaseIt([&] { S.Release(); });
  EXPECT_TRUE(S.Take(5000));
  EXPECT_EQ(S.Count(), 0);
}

TEST(Semaphore, TakeBothTakesNothingUnlessBoth) {
  struct TCase {
    int32_t A, B;
    bool Taken;
    int32_t ALeft, BLeft;
  };
  const TCase Cases[] = {
      {0, 0, false, 0, 0}, {1, 0, false, 1, 0}, {0, 1, false, 0, 1},
      {1, 1, true, 0, 0},  {3, 2, true, 2, 1},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(testing::Message() << C.A << "," << C.B);
    TSemaphore A(C.A, 100), B(C.B, 100);
    EXPECT_EQ(TakeBoth(A, B, 0), C.Taken);
    EXPECT_EQ(A.Count(), C.ALeft);
    EXPECT_EQ(B.Count(), C.BLeft);
  }
  TSemaphore Same(1, 100);
  EXPECT_FALSE(TakeBoth(Same, Same, 0));
  Same.Release();
  EXPECT_TRUE(TakeBoth(Same, Same, 0));
  EXPECT_EQ(Same.Count(), 0);
}

TEST(Semaphore, TakeBothWaitsForTheSecond) {
  TSemaphore A(1, 10), B(0, 10);
  auto Start = TSteady::now();
  EXPECT_FALSE(TakeBoth(A, B, 60));
  EXPECT_GE(MsSince(Start), 55);
  EXPECT_EQ(A.Count(), 1);  // a time-out takes nothing
  {
    TLater ReleaseIt([&] { B.Release(); });
    EXPECT_TRUE(TakeBoth(A, B, 5000));
  }
  EXPECT_EQ(A.Count(), 0);
  EXPECT_EQ(B.Count(), 0);
}

// Producers release, consumers take by every means: the number taken equals the
// number released, and nothing is left over or taken twice.
TEST(SemaphoreConcurrency, NoCountLostOrTakenTwice) {
  constexpr int PerProducer = 20000;
  constexpr int Producers = 3;
  constexpr int Total = PerProducer * Producers;
  TSemaphore S(0, 2147483647);
  std::atomic<int> Taken{0};
  std::vector<std::thread> Threads;
  for (int P = 0; P < Producers; ++P)
    Threads.emplace_back([&] {
      for (int I = 0; I < PerProducer; ++I) ASSERT_TRUE(S.Release());
    });
  for (int C = 0; C < 3; ++C)
    Threads.emplace_back([&, C] {
      while (Taken.load() < Total) {
        const bool Got = C == 0 ? S.TryTake() : S.Take(20);
        if (Got) Taken.fetch_add(1);
      }
    });
  for (auto& T : Threads) T.join();
  EXPECT_EQ(Taken.load(), Total);
  EXPECT_EQ(S.Count(), 0);
}

// Two streams of counts, consumed only in pairs while a third party steals
// single counts: every pair and every single is accounted for.
TEST(SemaphoreConcurrency, TakeBothIsAtomic) {
  constexpr int Pairs = 20000;
  TSemaphore A(0, 2147483647), B(0, 2147483647);
  std::atomic<bool> ProducersDone{false};
  std::atomic<int> BothTaken{0}, StolenFromA{0};
  std::thread ProduceA([&] {
    for (int I = 0; I < Pairs; ++I) A.Release();
  });
  std::thread ProduceB([&] {
    for (int I = 0; I < Pairs; ++I) B.Release();
  });
  std::vector<std::thread> Consumers;
  for (int C = 0; C < 2; ++C)
    Consumers.emplace_back([&] {
      for (;;) {
        if (TakeBoth(A, B, 10))
          BothTaken.fetch_add(1);
        else if (ProducersDone.load())
          break;
      }
    });
  std::thread Thief([&] {
    for (int I = 0; I < 500; ++I)
      if (A.TryTake()) StolenFromA.fetch_add(1);
  });
  ProduceA.join();
  ProduceB.join();
  Thief.join();
  ProducersDone.store(true);
  for (auto& T : Consumers) T.join();
  // Whatever is left could not be paired.
  const int ALeft = A.Count(), BLeft = B.Count();
  EXPECT_EQ(BothTaken.load() + StolenFromA.load() + ALeft, Pairs);
  EXPECT_EQ(BothTaken.load() + BLeft, Pairs);
  EXPECT_TRUE(ALeft == 0 || BLeft == 0);
}

}  // namespace
