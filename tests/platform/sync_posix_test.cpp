// Linux kernels before 5.16 have no two-word wait: there a thread waiting for
// either of two objects sleeps on one process-wide word that every change
// announces. The same hand-overs as on a newer kernel, on that path.
#include <gtest/gtest.h>

#include <thread>

#include "platform/sync.h"

namespace {

using Platform::TEvent;
using Platform::TWaitResult;

class SharedWakeWord : public testing::Test {
protected:
  SharedWakeWord() { Platform::Detail::UseSharedWakeWord(true); }
  ~SharedWakeWord() override { Platform::Detail::UseSharedWakeWord(false); }
};

TEST_F(SharedWakeWord, WaitsTimeOutAndWakeForEachObject) {
  TEvent A(false, false), B(false, false);
  EXPECT_EQ(Platform::WaitForEither(A, B, 30), TWaitResult::TimedOut);
  std::thread SetB([&] { B.Set(); });
  EXPECT_EQ(Platform::WaitForEither(A, B, 5000), TWaitResult::Second);
  SetB.join();
}

TEST_F(SharedWakeWord, EveryTokenIsSeenOnce) {
  constexpr int Tokens = 2000;
  TEvent Data[2] = {TEvent(false, false), TEvent(false, false)};
  TEvent Ack(false, false);
  std::thread Producer([&] {
    for (int I = 0; I < Tokens; ++I) {
      Data[I % 2].Set();
      ASSERT_TRUE(Ack.Wait(10000));
    }
  });
  int Seen[2] = {0, 0};
  for (int I = 0; I < Tokens; ++I) {
    const TWaitResult R = Platform::WaitForEither(Data[0], Data[1], 10000);
    ASSERT_NE(R, TWaitResult::TimedOut);
    ++Seen[R == TWaitResult::First ? 0 : 1];
    Ack.Set();
  }
  Producer.join();
  EXPECT_EQ(Seen[0], Tokens / 2);
  EXPECT_EQ(Seen[1], Tokens / 2);
}

}  // namespace
