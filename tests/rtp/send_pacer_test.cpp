// The send side's pace: bursts after a stall, the steady rate, a fast device clock.
#include "rtp/send_pacer.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using TClock = TSendPacer::TClock;

// Offers Count packets, one every StepUs microseconds from At on; how many may leave.
int Offer(TSendPacer& P, TClock::time_point& At, int Count, int64_t StepUs) {
  int Sent = 0;
  for (int I = 0; I < Count; ++I) {
    At += std::chrono::microseconds(StepUs);
    Sent += P.Take(At);
  }
  return Sent;
}

TEST(SendPacer, ABacklogLeavesAsAtMostOneBurstThenAtTheStreamRate) {
  const struct {
    const char* Case;
    int64_t PauseUs;  // before the backlog
    int Backlog;      // packets handed over at once
    int Sent;         // of them, allowed to leave
  } Cases[] = {
      {"right after the start", 0, 250, 5},
      {"after a 5 s stall", 5000000, 250, 5},
      {"after one packet time", 20000, 3, 3},
      {"a backlog within the burst", 5000000, 4, 4},
  };
  for (const auto& C : Cases) {
    TSendPacer P;
    TClock::time_point At{};
    P.Reset(20ms, 5, At);
    At += std::chrono::microseconds(C.PauseUs);
    EXPECT_EQ(Offer(P, At, C.Backlog, 0), C.Sent) << C.Case;
    // Then the stream's own pace goes through again, packet by packet.
    EXPECT_EQ(Offer(P, At, 100, 20000), 100) << C.Case;
  }
}

TEST(SendPacer, ASustainedExcessIsCutToTheRateAndAFastClockLosesNothing) {
  TSendPacer P;
  TClock::time_point At{};
  P.Reset(20ms, 5, At);
  // A device clock 1 % fast for ten minutes: every packet leaves.
  EXPECT_EQ(Offer(P, At, 30000, 19800), 30000);
  // Twice the rate for ten seconds: about half leaves (the rate has 1/32 room).
  const int Sent = Offer(P, At, 1000, 10000);
  EXPECT_GE(Sent, 500);
  EXPECT_LE(Sent, 5 + 516);
}

}  // namespace
