// What TCallQuality keeps for the status page and the gauges: the current
// call's last window, the plot's points, and the records of finished calls, on
// a clock the test moves.

#include "rtp/call_quality.h"

#include <gtest/gtest.h>

namespace {

int64_t NowUs = 0;
int64_t TestClock() { return NowUs; }

void Talk(TCallQuality& Q, int32_t Client, uint16_t Seq, uint32_t Ssrc = 0x4242) {
  TRtpDatagramInfo Info;
  Info.HeaderInside = true;
  Info.Version = 2;
  Info.SequenceNumber = Seq;
  Info.Timestamp = 160u * Seq;
  Info.Ssrc = Ssrc;
  Q.Packet(Client, Info, TRtpVerdict::Accepted);
}

TEST(CallQualityView, ALossyCallGivesItsWindowAPointAndARecord) {
  NowUs = 1'000'000;
  TCallQuality Q(TestClock);
  Q.Begin(1, "10.0.0.7", 5004);
  // 12 s at 20 ms a packet; numbers 100 to 109 never come.
  for (uint16_t Seq = 0; Seq < 600; ++Seq, NowUs += 20'000)
    if (Seq < 100 || Seq >= 110) Talk(Q, 1, Seq);
  TCallQualityView V = Q.View();
  ASSERT_EQ(V.Peers.size(), 1u);
  EXPECT_EQ(V.Peers[0].Ip, "10.0.0.7");
  EXPECT_EQ(V.Peers[0].Port, 5004);
  EXPECT_EQ(V.Peers[0].Ssrc, 0x4242u);
  ASSERT_TRUE(V.Live);
  ASSERT_TRUE(V.Live->RxLossPercent && V.Live->Mos);
  EXPECT_NEAR(*V.Live->RxLossPercent, 10.0 / 499 * 100, 0.01);  // the first packet serves its probation
  EXPECT_LT(*V.Live->Mos, 4.41);
  ASSERT_EQ(V.History.size(), 1u);
  EXPECT_EQ(V.History[0].Mos, V.Live->Mos);
  EXPECT_EQ(V.History[0].LossPercent, V.Live->RxLossPercent);
  EXPECT_TRUE(V.Records.empty());

  // A second peer without a packet yet is no current call; the first one's
  // going leaves its record, and then no call runs.
  Q.Begin(2, "10.0.0.8", 5006);
  EXPECT_EQ(Q.View().Live, V.Live);
  const std::optional<TCallRecord> Record = Q.End(1);
  ASSERT_TRUE(Record);
  V = Q.View();
  ASSERT_EQ(V.Peers.size(), 1u);
  EXPECT_EQ(V.Peers[0].Ip, "10.0.0.8");
  EXPECT_FALSE(V.Peers[0].Ssrc);
  EXPECT_FALSE(V.Live);
  ASSERT_EQ(V.Records.size(), 1u);
  EXPECT_EQ(V.Records[0].Figures, Record->Figures);
  EXPECT_NEAR(*Record->Figures.RxLossPercent, 10.0 / 599 * 100, 0.01);
  EXPECT_EQ(V.History.size(), 1u) << "the plot outlives the call";

  // The session's stop keeps the plot and the records.
  Q.Clear();
  V = Q.View();
  EXPECT_TRUE(V.Peers.empty());
  EXPECT_EQ(V.History.size(), 1u);
  EXPECT_EQ(V.Records.size(), 1u);
}

// The session thread's frames go to the call of the peer heard in them: what
// was made up, how long the audio waited, the earpiece's queue. The time
// between the end of one frame and the next is silence; made-up audio after
// the stream's end turns into silence too.
TEST(CallQualityView, FramesPlayedGoToTheirPeersCall) {
  NowUs = 1'000'000;
  TCallQuality Q(TestClock);
  Q.Begin(1, "10.0.0.7", 5004);
  Q.Begin(2, "10.0.0.8", 5006);
  // 100 packets 20 ms apart, each played 30 ms after its arrival behind 10 ms
  // in the earpiece; 40 to 44 made up, then 100 ms with nothing to play.
  for (uint16_t Seq = 0; Seq < 100; ++Seq, NowUs += 20'000) {
    if (Seq < 40 || Seq >= 50) Talk(Q, 1, Seq);
    const auto Tick = static_cast<uint32_t>(NowUs / 1000);
    if (Seq < 45 || Seq >= 50) Q.Played(1, {20, Seq >= 40 && Seq < 45 ? 20u : 0u, 30, 10, Tick});
  }
  Q.Played(1, {20, 20, 30, 10, static_cast<uint32_t>(NowUs / 1000)});  // after the last packet
  Q.StreamEnded(1, 20);
  Q.Dropped(1, 15);
  Q.Played(9, {20, 20, 30, 10, 0});  // no such peer
  ASSERT_TRUE(Q.Snapshot(1));
  const TQualityFigures F = Q.Snapshot(1)->Call;
  EXPECT_EQ(F.AudioMs, 96u * 20 + 100);
  EXPECT_EQ(F.ConcealedMs, 100u);
  EXPECT_EQ(F.SilentMs, 120u);
  EXPECT_EQ(F.DroppedMs, 15u);
  EXPECT_EQ(F.LongestGapMs, 200u) << "made up and silent together";
  EXPECT_EQ(F.BufferDelayMs, 30.0);
  EXPECT_EQ(F.DeviceDelayMs, 10u);
  EXPECT_EQ(Q.Snapshot(2)->Call.AudioMs, 0u);
  EXPECT_FALSE(Q.Snapshot(9));
}

TEST(CallQualityView, TheLiveCallIsTheOneHeardLastAndTheListsAreBounded) {
  NowUs = 1'000'000;
  TCallQuality Q(TestClock);
  Q.Begin(1, "10.0.0.7", 5004);
  Q.Begin(2, "10.0.0.8", 5006);
  // Both close a window every 10 s; of the second peer's stream, every third
  // packet is lost.
  for (uint16_t Seq = 0; Seq < 120; ++Seq, NowUs += 10'000'000) {
    Talk(Q, 1, Seq, 1);
    Talk(Q, 2, static_cast<uint16_t>(3 * Seq), 2);
    Talk(Q, 2, static_cast<uint16_t>(3 * Seq + 1), 2);
  }
  EXPECT_EQ(Q.View().History.size(), StatusHistoryPoints);
  Talk(Q, 1, 120, 1);
  Talk(Q, 2, 360, 2);
  TCallQualityView V = Q.View();
  ASSERT_TRUE(V.Live && V.Live->RxLossPercent);
  EXPECT_NEAR(*V.Live->RxLossPercent, 100.0 / 3, 0.01);
  NowUs += 10'000'000;
  Talk(Q, 1, 121, 1);  // now the first is heard last
  V = Q.View();
  ASSERT_TRUE(V.Live && V.Live->RxLossPercent);
  EXPECT_EQ(*V.Live->RxLossPercent, 0.0);

  for (int32_t Client = 3; Client < 3 + 25; ++Client) {
    Q.Begin(Client, "10.0.1.1", static_cast<int32_t>(Client));
    Q.End(Client);
  }
  V = Q.View();
  ASSERT_EQ(V.Records.size(), StatusRecords);
  EXPECT_EQ(V.Records.front().PeerPort, 27) << "newest first";
  EXPECT_EQ(V.Records.back().PeerPort, 8);
}

}  // namespace
