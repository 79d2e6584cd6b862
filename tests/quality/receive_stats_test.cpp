#include "quality/receive_stats.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

constexpr uint32_t Ssrc = 0x1234;
constexpr int64_t Ms = 1000;  // microseconds

struct TArrival {
  uint16_t Sequence;
  TPacketFate Kind = TPacketFate::Played;
};

std::vector<TArrival> Seqs(uint16_t From, int Count) {
  std::vector<TArrival> A;
  for (int I = 0; I < Count; ++I) A.push_back({static_cast<uint16_t>(From + I)});
  return A;
}

std::vector<TArrival> operator+(std::vector<TArrival> A, const std::vector<TArrival>& B) {
  A.insert(A.end(), B.begin(), B.end());
  return A;
}

// Packets every 20 ms; the timestamp follows the sequence number.
void Feed(TReceiveStats& S, const std::vector<TArrival>& Arrivals) {
  int64_t At = 0;
  for (const TArrival& A : Arrivals) {
    S.OnPacket(Ssrc, A.Sequence, A.Sequence * 160u, At, A.Kind);
    At += 20 * Ms;
  }
}

// RFC 3550 A.1 and A.3. The first packet of a stream is on probation: the
// count starts at the second.
TEST(ReceiveStats, SequenceNumbersCountedAsRfc3550Does) {
  struct TCase {
    const char* Name;
    std::vector<TArrival> Arrivals;
    uint32_t ExtendedHighest;
    int64_t Expected, Lost;          // the call's, by sequence numbers
    uint64_t Missing, MissingRuns;   // after the buffer
  };
  const TCase Cases[] = {
      {"in order", Seqs(100, 10), 109, 9, 0, 0, 0},
      {"out of order while on probation", Seqs(10, 1) + Seqs(12, 3), 14, 2, 0, 0, 0},
      {"wraps at 65535", Seqs(65530, 12), 65536 + 5, 11, 0, 0, 0},
      {"a burst of 3 lost", Seqs(1, 10) + Seqs(14, 7), 20, 19, 3, 3, 1},
      {"reordered", Seqs(1, 3) + Seqs(5, 1) + Seqs(4, 1) + Seqs(6, 2), 7, 6, 0, 0, 0},
      {"a repeat", Seqs(1, 3) + std::vector<TArrival>{{3, TPacketFate::Repeat}} + Seqs(4, 1), 4, 3, -1, 0, 0},
      {"late: not lost, but missed",
       Seqs(1, 5) + Seqs(7, 1) + std::vector<TArrival>{{6, TPacketFate::Late}} + Seqs(8, 3), 10, 9, 0, 1, 1},
      {"a jump within the dropout is loss", Seqs(1, 5) + Seqs(2000, 4), 2003, 2002, 1994, 1994, 1},
      // A jump beyond it: the first packet after it waits for a second in order.
      {"restarts with a new base", Seqs(1, 10) + Seqs(30000, 6), 30005, 9 + 5, 0, 0, 0},
      {"restarts backwards", Seqs(5000, 11) + Seqs(100, 6), 105, 10 + 5, 0, 0, 0},
      {"a stale packet is not counted", Seqs(1, 200) + Seqs(50, 1) + Seqs(201, 4), 204, 203, 0, 0, 0},
  };
  for (const TCase& C : Cases) {
    TReceiveStats S;
    S.Start(0);
    Feed(S, C.Arrivals);
    EXPECT_EQ(S.Report().ExtendedHighestSequence, C.ExtendedHighest) << C.Name;
    const TQualityFigures Call = S.Finish(C.Arrivals.size() * 20 * Ms).Call;
    EXPECT_EQ(Call.Expected, C.Expected) << C.Name;
    EXPECT_EQ(Call.Lost, C.Lost) << C.Name;
    EXPECT_EQ(Call.Settled, static_cast<uint64_t>(C.Expected)) << C.Name;
    EXPECT_EQ(Call.Missing, C.Missing) << C.Name;
    EXPECT_EQ(Call.MissingRuns, C.MissingRuns) << C.Name;
  }
}

TEST(ReceiveStats, ReportBlockLossSinceTheLastReport) {
  TReceiveStats S;
  S.Start(0);
  Feed(S, Seqs(1, 10) + Seqs(14, 7) + std::vector<TArrival>{{20, TPacketFate::Repeat}});
  TReceptionReport R = S.Report();
  EXPECT_EQ(R.Ssrc, Ssrc);
  EXPECT_EQ(R.CumulativeLost, 2);  // 3 lost, 1 repeat
  EXPECT_EQ(R.FractionLost, (2 << 8) / 19);
  R = S.Report();
  EXPECT_EQ(R.FractionLost, 0) << "nothing since";
  EXPECT_EQ(R.CumulativeLost, 2);

  // Another source: its report starts over, the call's counts go on.
  for (uint16_t Seq = 500; Seq < 510; ++Seq) S.OnPacket(Ssrc + 1, Seq, Seq * 160u, Seq * 20 * Ms, TPacketFate::Played);
  R = S.Report();
  EXPECT_EQ(R.Ssrc, Ssrc + 1);
  EXPECT_EQ(R.CumulativeLost, 0);
  EXPECT_EQ(R.ExtendedHighestSequence, 509u);
  const TQualityFigures Call = S.Finish(510 * 20 * Ms).Call;
  EXPECT_EQ(Call.Expected, 19 + 9);
  EXPECT_EQ(Call.Lost, 2);

  struct TClamp {
    int64_t Lost;
    int32_t Reported;
  };
  for (const TClamp& C : {TClamp{0, 0}, TClamp{-1, -1}, TClamp{0x7FFFFF, 0x7FFFFF}, TClamp{0x800000, 0x7FFFFF},
                          TClamp{-0x800000, -0x800000}, TClamp{-0x800001, -0x800000},
                          TClamp{int64_t{1} << 40, 0x7FFFFF}})
    EXPECT_EQ(TReceiveStats::ClampCumulativeLost(C.Lost), C.Reported) << C.Lost;
}

// RFC 3550 A.8: J += (|D| - J) / 16, D the change of transit time.
TEST(ReceiveStats, InterarrivalJitter) {
  TReceiveStats Paced;
  Paced.Start(0);
  Feed(Paced, Seqs(1, 100));
  EXPECT_EQ(Paced.Report().Jitter, 0u);
  EXPECT_EQ(Paced.Snapshot().Call.JitterMs, 0.0);

  // Arrivals 10 ms early and 10 ms late by turns: every |D| is 20 ms = 160
  // units, so after n differences J = 160 (1 - (15/16)^n).
  TReceiveStats Alternating;
  Alternating.Start(0);
  for (int I = 0; I < 201; ++I) {
    const int64_t At = I * 20 * Ms + (I % 2 ? 10 : -10) * Ms;
    Alternating.OnPacket(Ssrc, static_cast<uint16_t>(I), I * 160u, At, TPacketFate::Played);
    if (I == 16) {
      EXPECT_EQ(Alternating.Report().Jitter, 103u) << "160 (1 - (15/16)^16) = 103.03";
    }
  }
  EXPECT_NEAR(Alternating.Snapshot().Call.JitterMs, 20.0, 0.01);
  // A copy that arrives late tells nothing of the path.
  Alternating.OnPacket(Ssrc, 200, 200 * 160u, 10000 * Ms, TPacketFate::Repeat);
  EXPECT_NEAR(Alternating.Snapshot().Call.JitterMs, 20.0, 0.01);
}

TEST(ReceiveStats, PlayoutConcealmentGapsAndBufferDelay) {
  TReceiveStats S;
  S.Start(0);
  for (uint32_t Delay = 0; Delay < 100; ++Delay) S.OnFrame(20, 0, Delay);
  // 3 frames made up and the first 5 ms of the next: one stretch of 65 ms.
  for (int I = 0; I < 3; ++I) S.OnFrame(20, 20, 40);
  S.OnFrame(20, 5, 40);
  // Made up, then nothing to play, then made up again: 80 ms.
  S.OnFrame(20, 20, 40);
  S.OnSilence(40);
  S.OnFrame(20, 20, 40);
  S.OnFrame(20, 0, 40);
  S.OnDropped(10);

  const TQualityFigures Call = S.Finish(0).Call;
  EXPECT_EQ(Call.AudioMs, 107u * 20 + 40);
  EXPECT_EQ(Call.ConcealedMs, 105u);
  EXPECT_EQ(Call.SilentMs, 40u);
  EXPECT_EQ(Call.DroppedMs, 10u);
  EXPECT_EQ(Call.LongestGapMs, 80u);
  EXPECT_NEAR(Call.ConcealedPercent, 100.0 * 105 / 2180, 1e-9);
  EXPECT_NEAR(Call.BufferDelayMs, (4950.0 + 7 * 40) / 107, 1e-9);
  EXPECT_EQ(Call.BufferDelayP95Ms, 95u) << "the 102nd of 107 delays is 94 ms: its 5 ms bucket ends at 95";
}

// What a buffer learns only later: a packet it counted as played was late
// after all, and made-up audio that followed the stream's end stood for no
// loss (in the open window, the rest in the closed ones).
TEST(ReceiveStats, LateDropsAndAStreamsEndCorrectWhatWasCounted) {
  TReceiveStats S;
  S.Start(0);
  Feed(S, Seqs(1, 10));
  S.OnLate(5);
  for (int I = 0; I < 10; ++I) S.OnFrame(20, 0, 30);
  S.OnFrame(20, 15, 30);  // the stream's last 5 ms, then made up
  EXPECT_EQ(S.Advance(10000 * Ms), 1u);
  for (int I = 0; I < 3; ++I) S.OnFrame(20, 20, 30);
  S.OnEndedMadeUp(75);
  const TQualityFigures Call = S.Finish(10100 * Ms).Call;
  EXPECT_EQ(Call.Late, 1u);
  EXPECT_EQ(Call.Lost, 0);
  EXPECT_EQ(Call.Missing, 1u);
  EXPECT_EQ(Call.ConcealedMs, 0u);
  EXPECT_EQ(Call.SilentMs, 75u);
  EXPECT_EQ(Call.AudioMs, 280u);
}

TEST(ReceiveStats, QuietWindowsAndTheRoundTrip) {
  TReceiveStats S;
  S.Start(0);
  S.SetRoundTripMs(100);
  Feed(S, Seqs(1, 100));
  for (int I = 0; I < 100; ++I) S.OnFrame(20, 0, 40);
  EXPECT_EQ(S.Advance(3600000 * Ms), 360u) << "an hour later";
  const TReceiveSnapshot Snap = S.Snapshot();
  EXPECT_EQ(Snap.Windows, 360u);
  EXPECT_EQ(Snap.Window.StartUs, 3590000 * Ms);
  EXPECT_EQ(Snap.Window.Packets, 0u);
  EXPECT_FALSE(Snap.Window.Scored);
  // The first window: 20 ms packets, 40 ms in the buffer, half the round trip.
  EXPECT_EQ(Snap.Worst.StartUs, 0);
  EXPECT_TRUE(Snap.Worst.Score.DelayKnown);
  EXPECT_DOUBLE_EQ(Snap.Worst.Score.DelayMs, 110);
  EXPECT_DOUBLE_EQ(Snap.Call.Score.DelayMs, 110);
}

// 10 clean windows of 10 s and one with 5 % loss: the bad window keeps its own
// score, the call's is the loss over the whole call.
TEST(ReceiveStats, ABadWindowShowsAndTheCallAverages) {
  TReceiveStats S;
  S.Start(0);
  uint32_t Closed = 0;
  for (int I = 0; I < 5500; ++I) {
    // Window 6 (50 to 60 s) loses every 15th packet of its first 375.
    const bool Lost = I >= 2510 && I < 2885 && (I - 2510) % 15 == 0;
    const int64_t At = I * 20 * Ms;
    Closed += S.Advance(At);
    if (!Lost) S.OnPacket(Ssrc, static_cast<uint16_t>(I), I * 160u, At, TPacketFate::Played);
    S.OnFrame(20, Lost ? 20 : 0, 40);
  }
  EXPECT_EQ(Closed, 10u);
  const TReceiveSnapshot Snap = S.Finish(110000 * Ms);
  EXPECT_EQ(Snap.Windows, 11u);

  // Ta = 20 ms packets + 40 ms buffer = 60 ms: R = 91.5239 without loss.
  const TQualityFigures& Bad = Snap.Worst;
  EXPECT_EQ(Bad.StartUs, 50000 * Ms);
  EXPECT_EQ(Bad.Missing, 25u);
  EXPECT_EQ(Bad.Settled, 500u);
  EXPECT_DOUBLE_EQ(Bad.PplPercent, 5.0);
  EXPECT_DOUBLE_EQ(Bad.BurstR, 1.0);
  EXPECT_NEAR(Bad.LossPercent, 5.0, 0.5);
  EXPECT_FALSE(Bad.Score.DelayKnown);
  EXPECT_NEAR(Bad.Score.R, 91.5239 - 15.7807, 0.001);
  EXPECT_NEAR(Bad.Score.Mos, 3.85, 0.005);

  EXPECT_EQ(Snap.Window.StartUs, 100000 * Ms);
  EXPECT_NEAR(Snap.Window.Score.R, 91.5239, 0.001);

  const TQualityFigures& Call = Snap.Call;
  EXPECT_EQ(Call.Settled, 5499u);  // the first packet was on probation
  EXPECT_EQ(Call.Missing, 25u);
  EXPECT_EQ(Call.Lost, 25);
  EXPECT_NEAR(Call.Score.R, 91.5239 - EModelIeEff(0, 100.0 * 25 / 5499, G711BplConcealed, 1), 0.001);
  EXPECT_GT(Call.Score.R, Bad.Score.R + 10);
  EXPECT_EQ(Call.LongestGapMs, 20u);
}

}  // namespace
