// RTCP compound packets: what we build, what we take from a peer's, and what
// we refuse; the clock and timer arithmetic around them.
#include "quality/rtcp_packet.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

using V = TRtcpVerdict;

using TestSupport::Hex;

// A copied vector's block is exactly its size: the address sanitizer sees any
// read past the datagram.
V Parse(const std::vector<uint8_t>& Bytes, TRtcpCompound& Out, TRtcpCounters& Counters) {
  const std::vector<uint8_t> Exact(Bytes);
  return ParseRtcpCompound(Exact.data(), Exact.size(), Out, Counters);
}

std::vector<uint8_t> Build(const TRtcpReport& Report) {
  std::vector<uint8_t> B(2048);
  B.resize(BuildRtcpCompound(Report, B));
  return B;
}

// RR with N blocks whose length field says Words; block I reports source I.
std::vector<uint8_t> Rr(uint8_t N, uint16_t Words) {
  std::vector<uint8_t> B = Hex("80c9 0000 11223344");
  B[0] |= N;
  B[2] = static_cast<uint8_t>(Words >> 8), B[3] = static_cast<uint8_t>(Words);
  for (uint8_t I = 0; I < N; ++I) {
    std::vector<uint8_t> Block(24, 0);
    Block[3] = I;
    B.insert(B.end(), Block.begin(), Block.end());
  }
  B.resize(4 + 4u * Words, 0);
  return B;
}

TEST(RtcpParse, APeersCompoundGivesEveryField) {
  const std::vector<uint8_t> Datagram = Hex(
      // SR, 2 blocks: ours (25 % lost, -3 cumulative, LSR/DLSR set) and another
      "82c8 0012 11223344 e8a1b2c3 40000000 00012345 000003e8 00027100"
      "cafebabe 40fffffd 0001ffff 00000050 b2c34000 00018000"
      "0badf00d 00000102 00000064 00000000 00000000 00000000"
      // SDES, 2 chunks: NOTE "hi" before CNAME "peer1"; CNAME "x"
      "82ca 0006 11223344 0702 6869 0105 7065657231 00 0badf00d 0101 78 00"
      // APP, skipped
      "80cc 0002 11223344 54455354"
      // BYE with the reason "bye", padded by 4
      "a1cb 0003 11223344 03 627965 00000004");
  TRtcpCompound C;
  TRtcpCounters N;
  ASSERT_EQ(Parse(Datagram, C, N), V::Accepted);
  EXPECT_EQ(C.SenderSsrc, 0x11223344u);
  ASSERT_TRUE(C.Sender);
  EXPECT_EQ(*C.Sender, (TRtcpSenderInfo{0xe8a1b2c340000000, 0x12345, 1000, 160000}));
  ASSERT_EQ(C.BlockCount, 2u);
  EXPECT_EQ(C.Blocks[0], (TRtcpReportBlock{0xcafebabe, 64, -3, 0x1ffff, 80, 0xb2c34000, 0x18000}));
  EXPECT_EQ(C.Blocks[1], (TRtcpReportBlock{0x0badf00d, 0, 258, 100, 0, 0, 0}));
  EXPECT_TRUE(C.HasCname);
  EXPECT_EQ(C.Cname(), "peer1");
  EXPECT_EQ(C.CnameSsrc, 0x11223344u);
  EXPECT_EQ(std::vector<uint32_t>(C.ByeSources().begin(), C.ByeSources().end()), std::vector<uint32_t>{0x11223344});
  EXPECT_EQ(N.Count(V::Accepted), 1u);
  EXPECT_EQ(N.UnknownParts, 1u);
  EXPECT_EQ(N.MalformedParts + N.DroppedItems, 0u);
}

TEST(RtcpBuild, RrWithCnameAndByeReasonPaddedByTheRules) {
  // "ab" fills its item to a boundary: the chunk still needs a null octet, so a whole word of them.
  EXPECT_EQ(Build({0x11223344, std::nullopt, {}, "ab", true, "bye"}),
            Hex("80c9 0001 11223344 81ca 0003 11223344 0102 6162 00000000 81cb 0002 11223344 03627965"));
}

TEST(RtcpBuild, RoundTripsAndRefusesWhatDoesNotFit) {
  std::vector<TRtcpReportBlock> Blocks;
  for (uint32_t I = 0; I < 40; ++I)  // beyond 31: a second RR packet
    Blocks.push_back({I, static_cast<uint8_t>(I), static_cast<int32_t>(I) - 20, 70000 + I, I * 3, I << 16, I});
  const std::string Cname(255, 'n'), Reason(255, 'r');
  const TRtcpReport R{0x5eed, TRtcpSenderInfo{1, 2, 3, 4}, Blocks, Cname, true, Reason};
  const std::vector<uint8_t> B = Build(R);
  TRtcpCompound C;
  TRtcpCounters N;
  ASSERT_EQ(Parse(B, C, N), V::Accepted);
  EXPECT_EQ(C.SenderSsrc, 0x5eedu);
  EXPECT_EQ(C.Sender, R.Sender);
  EXPECT_TRUE(std::equal(Blocks.begin(), Blocks.end(), C.ReportBlocks().begin(), C.ReportBlocks().end()));
  EXPECT_EQ(C.Cname(), R.Cname);
  EXPECT_EQ(C.ByeCount, 1u);
  EXPECT_EQ(N.MalformedParts + N.UnknownParts + N.DroppedItems, 0u);

  // Every buffer short of the whole refuses it; a text over 255 bytes too.
  std::vector<uint8_t> Small(B.size());
  for (size_t Size = 0; Size < B.size(); ++Size)
    ASSERT_EQ(BuildRtcpCompound(R, std::span(Small.data(), Size)), 0u) << Size;
  EXPECT_EQ(BuildRtcpCompound(R, Small), B.size());
  EXPECT_EQ(BuildRtcpCompound({1, std::nullopt, {}, std::string(256, 'n'), false, ""}, Small), 0u);
  EXPECT_EQ(BuildRtcpCompound({1, std::nullopt, {}, "n", true, std::string(256, 'r')}, Small), 0u);

  // Losses beyond 24 bits are clamped, not wrapped.
  const TRtcpReportBlock Far[] = {{1, 0, -9000000, 0, 0, 0, 0}, {2, 0, 9000000, 0, 0, 0, 0}};
  ASSERT_EQ(Parse(Build({1, std::nullopt, Far, "n", false, ""}), C, N), V::Accepted);
  EXPECT_EQ(C.Blocks[0].CumulativeLost, -8388608);
  EXPECT_EQ(C.Blocks[1].CumulativeLost, 8388607);
}

TEST(RtcpParse, HostileDatagramsAreRefusedOrTheirBadPartsSkipped) {
  struct TCase {
    const char* Name;
    std::vector<uint8_t> Bytes;
    V Verdict;
    uint64_t Malformed, Unknown, Dropped, Blocks;
  };
  const std::vector<uint8_t> Rr3 = Rr(31, 187);
  std::vector<uint8_t> ThreeFull = Rr3;
  ThreeFull.insert(ThreeFull.end(), Rr3.begin(), Rr3.end());
  ThreeFull.insert(ThreeFull.end(), Rr3.begin(), Rr3.end());
  const TCase Cases[] = {
      {"empty", {}, V::TooShort, 0, 0, 0, 0},
      {"one byte", Hex("80"), V::TooShort, 0, 0, 0, 0},
      {"seven bytes", Hex("80c9 0001 112233"), V::TooShort, 0, 0, 0, 0},
      {"version 1", Hex("40c9 0001 11223344"), V::Version, 0, 0, 0, 0},
      {"version 1 later", Hex("80c9 0001 11223344 41ca 0000"), V::Version, 0, 0, 0, 0},
      {"SDES first", Hex("81ca 0001 11223344"), V::NotReportFirst, 0, 0, 0, 0},
      {"APP first", Hex("80cc 0001 11223344"), V::NotReportFirst, 0, 0, 0, 0},
      {"length too big", Hex("80c9 0002 11223344"), V::Length, 0, 0, 0, 0},
      {"length too small", Hex("80c9 0000 11223344"), V::Version, 0, 0, 0, 0},  // the SSRC read as a header
      {"two bytes left over", Hex("80c9 0001 11223344 80c9"), V::Length, 0, 0, 0, 0},
      {"padding not last", Hex("a0c9 0001 11223344 81ca 0002 11223344 00000001"), V::Padding, 0, 0, 0, 0},
      {"padding count 0", Hex("a0c9 0002 11223344 00000000"), V::Padding, 0, 0, 0, 0},
      {"padding into the header", Hex("a0c9 0001 11223344"), V::Padding, 0, 0, 0, 0},
      {"padding on the only packet", Hex("a0c9 0002 11223344 00000004"), V::Accepted, 0, 0, 0, 0},
      {"31-block RR", Rr(31, 187), V::Accepted, 0, 0, 0, 31},
      {"31-block RR a word short", Rr(31, 186), V::Accepted, 1, 0, 0, 0},
      {"three 31-block RRs", ThreeFull, V::Accepted, 0, 0, 31, 62},
      {"SR without sender info", Hex("80c8 0001 11223344"), V::Accepted, 1, 0, 0, 0},
      {"empty RRs", Hex("80c9 0000 80c9 0000"), V::Accepted, 2, 0, 0, 0},
      {"SDES item past its packet", Hex("80c9 0001 11223344 81ca 0002 11223344 0109 6869"), V::Accepted, 1, 0, 0, 0},
      {"SDES item cut by the end", Hex("80c9 0001 11223344 81ca 0002 11223344 0101 6101"), V::Accepted, 1, 0, 0, 0},
      {"SDES chunk into the padding", Hex("80c9 0001 11223344 a2ca 0003 11223344 0102 6162 00 000003"), V::Accepted, 1,
       0, 0, 0},
      {"SDES without its null", Hex("80c9 0001 11223344 81ca 0002 11223344 0102 6869"), V::Accepted, 1, 0, 0, 0},
      {"BYE reason past its packet", Hex("80c9 0001 11223344 81cb 0002 11223344 0a627965"), V::Accepted, 1, 0, 0, 0},
      {"BYE short of its sources", Hex("80c9 0001 11223344 82cb 0001 11223344"), V::Accepted, 1, 0, 0, 0},
      {"XR and feedback", Hex("80c9 0001 11223344 80cf 0001 11223344 81cd 0002 11223344 55667788"), V::Accepted, 0,
       2, 0, 0},
  };
  for (const TCase& T : Cases) {
    TRtcpCompound C;
    TRtcpCounters N;
    EXPECT_EQ(Parse(T.Bytes, C, N), T.Verdict) << T.Name;
    EXPECT_EQ(N.Count(T.Verdict), 1u) << T.Name;
    EXPECT_EQ(N.MalformedParts, T.Malformed) << T.Name;
    EXPECT_EQ(N.UnknownParts, T.Unknown) << T.Name;
    EXPECT_EQ(N.DroppedItems, T.Dropped) << T.Name;
    EXPECT_EQ(C.BlockCount, T.Blocks) << T.Name;
    EXPECT_FALSE(C.HasCname || C.ByeCount > 0) << T.Name;
  }
}

TEST(RtcpParse, RandomMutationsNeverReachOutsideTheDatagram) {
  const TRtcpReportBlock Blocks[3] = {{1, 2, 3, 4, 5, 6, 7}, {8}, {9}};
  // With and without BYE, so that SDES is the last packet of one.
  const std::vector<uint8_t> Valid[2] = {Build({0xabc, TRtcpSenderInfo{1, 2, 3, 4}, Blocks, "me@here", true, "later"}),
                                         Build({0xabc, std::nullopt, Blocks, "me@here", false, ""})};
  std::mt19937 Random(7);
  TRtcpCounters N;
  constexpr int Rounds = 20000;
  for (int Round = 0; Round < Rounds; ++Round) {
    std::vector<uint8_t> B = Valid[Round % 2];
    for (int Edits = 1 + Random() % 4; Edits > 0; --Edits) {
      const size_t At = B.empty() ? 0 : Random() % B.size();
      const uint32_t Edit = Random() % 5;
      if (Edit == 0 && !B.empty())
        B[At] = static_cast<uint8_t>(Random());
      else if (Edit == 1 && !B.empty())
        B[At] ^= static_cast<uint8_t>(1 << Random() % 8);
      else if (Edit == 2 && At / 4 * 4 + 3 < B.size())
        B[At / 4 * 4 + 3] = static_cast<uint8_t>(Random());  // where a length field may be
      else if (Edit == 3)
        B.resize(At);
      else if (Edit == 4)
        B.resize(B.size() + Random() % 9, static_cast<uint8_t>(Random()));
    }
    TRtcpCompound C;
    if (Parse(B, C, N) == V::Accepted) {
      ASSERT_EQ(B.size() % 4, 0u);
      ASSERT_LE(C.BlockCount, TRtcpCompound::MaxBlocks);
    }
  }
  uint64_t Total = 0;
  for (size_t I = 0; I < RtcpVerdictCount; ++I) {
    EXPECT_GT(N.Datagrams[I], 0u) << "no datagram reached verdict " << I;
    Total += N.Datagrams[I];
  }
  EXPECT_EQ(Total, static_cast<uint64_t>(Rounds));
  EXPECT_GT(N.MalformedParts, 0u);
  EXPECT_GT(N.UnknownParts, 0u);
}

TEST(RtcpTime, NtpTimestampsAndRoundTrips) {
  using namespace std::chrono;
  EXPECT_EQ(RtcpNtpFromUnix(0s), 2208988800ull << 32);
  EXPECT_EQ(RtcpNtpFromUnix(1700000000s + 500ms), (1700000000ull + 2208988800) << 32 | 0x80000000);
  EXPECT_EQ(RtcpNtpMiddle(0x0000b7052000abcd), 0xb7052000u);
  // The steady clock carries the wall clock read once, whatever the wall clock does after.
  const TRtcpNtpClock Clock(system_clock::time_point(1700000000s), steady_clock::time_point(10s));
  EXPECT_EQ(Clock.Ntp(steady_clock::time_point(11500ms)), RtcpNtpFromUnix(1700000001500ms));
  EXPECT_EQ(Clock.Ntp(steady_clock::time_point(9500ms)), RtcpNtpFromUnix(1699999999500ms));

  EXPECT_EQ(RtcpDelaySinceLastSr(5250ms), 0x54000u);
  EXPECT_EQ(RtcpDelaySinceLastSr(-1s), 0u);
  EXPECT_EQ(RtcpDelaySinceLastSr(hours(19)), 0xFFFFFFFFu);
  // RFC 3550's worked example: A 46864.500, LSR 46853.125, DLSR 5.250 -> 6.125 s.
  EXPECT_EQ(RtcpRoundTripMs(0xb7108000, 0xb7052000, 0x54000), 6125.0);
  EXPECT_EQ(RtcpRoundTripMs(0x00008000, 0xffff8000, 0x8000), 500.0);  // across the wrap of the middle bits
  EXPECT_EQ(RtcpRoundTripMs(0xb7108000, 0, 0x54000), std::nullopt);    // no SR of ours seen yet
  EXPECT_EQ(RtcpRoundTripMs(0xb7108000, 0xb7052000, 0xc0000), std::nullopt);  // DLSR longer than the wait
  EXPECT_EQ(RtcpRoundTripMs(0xb7052000, 0xb7108000, 0), std::nullopt);        // LSR after the arrival
}

TEST(RtcpTime, ReportIntervalIsSpreadOverHalfToOneAndAHalf) {
  EXPECT_EQ(RtcpReportIntervalMs(5000, 0.0), 2500u);
  EXPECT_EQ(RtcpReportIntervalMs(5000, 0.5), 5000u);
  EXPECT_EQ(RtcpReportIntervalMs(5000, 0.9999), 7499u);
  EXPECT_EQ(RtcpReportIntervalMs(5000, 7.0), 7500u);
  EXPECT_EQ(RtcpReportIntervalMs(5000, -1.0), 2500u);
  EXPECT_EQ(RtcpReportIntervalMs(5000, std::nan("")), 2500u);
  EXPECT_EQ(RtcpReportIntervalMs(4000000000u, 1.0), 4294967295u);
  std::mt19937 Random(1);
  uint32_t Low = 7500, High = 2500;
  double Sum = 0;
  for (int I = 0; I < 10000; ++I) {
    const uint32_t Ms = RtcpReportIntervalMs(5000, Random);
    Low = std::min(Low, Ms), High = std::max(High, Ms), Sum += Ms;
  }
  EXPECT_GE(Low, 2500u);
  EXPECT_LT(Low, 2600u);
  EXPECT_LE(High, 7500u);
  EXPECT_GT(High, 7400u);
  EXPECT_NEAR(Sum / 10000, 5000, 60);
}

TEST(RtcpDemux, SecondBytesOf192To223AreRtcp) {
  const uint8_t Rr8[8] = {0x80, 201, 0, 1, 1, 2, 3, 4};
  EXPECT_TRUE(IsRtcpDatagram(Rr8, 8));
  EXPECT_FALSE(IsRtcpDatagram(Rr8, 7));
  for (int B = 0; B < 256; ++B) EXPECT_EQ(IsRtcpSecondByte(static_cast<uint8_t>(B)), B >= 192 && B <= 223) << B;
}

}  // namespace
