#include "platform/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Platform::TEvent;
using Platform::TWaitResult;
using Platform::WaitForEither;
using Platform::WaitInfinite;
using TSteady = std::chrono::steady_clock;

long long MsSince(TSteady::time_point Start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(TSteady::now() - Start).count();
}

// Runs Fn on another thread after a short delay, joined at the end of the scope.
// The delay waits for nothing observable: it lets the test's own thread go to
// sleep in the wait that Fn is to end.
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
// thread that signalled it is still inside Set.
TEST(EventConcurrency, AnObjectMayBeFreedAsSoonAsItsWaitEnds) {
  for (int I = 0; I < 2000; ++I) {
    auto Event = std::make_unique<TEvent>(false, false);
    TEvent* E = Event.get();
    std::thread Signaller([E] { E->Set(); });
    ASSERT_TRUE(Event->Wait(5000));
    Event.reset();
    Signaller.join();
  }
}

}  // namespace
