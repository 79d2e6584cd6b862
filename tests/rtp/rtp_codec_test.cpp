#include "rtp/rtp_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include "config/start_values.h"
#include "log_capture.h"
#include "rtp_test_support.h"

namespace {

using Platform::TWaveFormat;
using RtpTest::TDatagram;

const TWaveFormat ALaw = ALawFormatInfo.Format;

TEST(RtpFormat, ALawRecord) {
  EXPECT_EQ(ALawFormatInfo.PayloadType, 8);
  EXPECT_EQ(ALawFormatInfo.FormatTagName, "CCITT A-Law");
  EXPECT_EQ(ALawFormatInfo.FormatDescription, "8,000 kHz; 8 Bit; Mono");
  EXPECT_EQ(ALaw, (TWaveFormat{6, 1, 8000, 8000, 1, 8, 0}));
  EXPECT_EQ(Platform::WaveFormatBytes(ALaw), 18);
  EXPECT_EQ(FindAudioFormatInfo(8), &ALawFormatInfo);
  EXPECT_EQ(FindAudioFormatInfo(0), nullptr);
}

TEST(RtpSizing, PayloadBytesAndEffectiveDuration) {
  const TWaveFormat Pcm16{1, 1, 8000, 16000, 2, 16, 0};
  const TWaveFormat Odd{1, 1, 11025, 11025, 1, 8, 0};
  const TWaveFormat Stereo16{1, 2, 11025, 44100, 4, 16, 0};
  const TWaveFormat NoRate{1, 1, 0, 0, 0, 8, 0};
  struct TCase {
    const TWaveFormat* Format;
    uint16_t Duration;
    int32_t Bytes;
    uint16_t Effective;
  } Cases[] = {
      {&ALaw, 20, 160, 20},       {&ALaw, 7, 56, 7},          {&ALaw, 0, 0, 0},
      {&ALaw, 65535, 524280, 65535},
      {&Pcm16, 20, 320, 20},
      {&Odd, 20, 220, 19},        // 220.5 bytes truncated; 19.95 ms truncated
      {&Stereo16, 10, 444, 10},   // 441 rounded up to whole 4-byte blocks
      {&Stereo16, 1, 44, 0},      // 44.1 -> 44, a whole block; 0.997 ms -> 0
      {&NoRate, 20, 0, 20},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(testing::Message() << C.Format->nAvgBytesPerSec << " B/s, " << C.Duration << " ms");
    uint16_t Duration = C.Duration;
    EXPECT_EQ(RtpPayloadBytes(Duration, *C.Format), C.Bytes);
    EXPECT_EQ(Duration, C.Effective);
  }
  // A-law: every duration keeps its value and gives 8 bytes per millisecond.
  for (uint32_t Ms = 0; Ms <= 65535; ++Ms) {
    uint16_t Duration = static_cast<uint16_t>(Ms);
    ASSERT_EQ(RtpPayloadBytes(Duration, ALaw), static_cast<int32_t>(8 * Ms));
    ASSERT_EQ(Duration, Ms);
  }
  EXPECT_EQ(RtpTimestampStep(20, ALaw), 160u);
  EXPECT_EQ(RtpTimestampStep(30, ALaw), 240u);
  EXPECT_EQ(RtpTimestampStep(20, Odd), 220u);
}

// ---- building

TEST(RtpBuild, DefaultPacketsCarryMarkerSequenceTimestampAndSsrc) {
  TRtpCodec Codec(1234);
  const TRtpSendIdentity Start = Codec.SendIdentity();
  EXPECT_EQ(Start.Timestamp, 0u);
  Codec.SetMarkerPending();
  const std::vector<uint8_t> Payload = RtpTest::Pattern(160);
  TRtpPacketBuffer Packet;
  struct TExpect {
    bool Marker;
    uint16_t SeqAfterStart;
    uint32_t Timestamp;
  } Expected[] = {{true, 1, 160}, {false, 2, 320}, {false, 3, 480}};
  for (const TExpect& E : Expected) {
    ASSERT_EQ(Codec.BuildPacket(Payload.data(), 160, Packet), 172u);
    const TRtpDatagramInfo I = ParseRtpDatagram(Packet.data(), 172);
    EXPECT_TRUE(I.HeaderInside);
    EXPECT_EQ(Packet[0], 0x80);  // version 2, no padding, no extension, no CSRC
    EXPECT_EQ(I.Marker, E.Marker);
    EXPECT_EQ(I.PayloadType, 8);
    EXPECT_EQ(I.SequenceNumber, static_cast<uint16_t>(Start.SequenceNumber + E.SeqAfterStart));
    EXPECT_EQ(I.Timestamp, E.Timestamp);
    EXPECT_EQ(I.Ssrc, Start.Ssrc);
    EXPECT_EQ(I.PayloadOffset, 12u);
    EXPECT_EQ(I.PayloadLength, 160);
    EXPECT_TRUE(std::equal(Payload.begin(), Payload.end(), Packet.begin() + 12));
  }
  // A reset starts a new stream: timestamp from one step again, no marker.
  Codec.ResetSendIdentity();
  const TRtpSendIdentity After = Codec.SendIdentity();
  EXPECT_NE(After.Ssrc, Start.Ssrc);
  EXPECT_EQ(After.Timestamp, 0u);
  ASSERT_EQ(Codec.BuildPacket(Payload.data(), 160, Packet), 172u);
  const TRtpDatagramInfo I = ParseRtpDatagram(Packet.data(), 172);
  EXPECT_FALSE(I.Marker);
  EXPECT_EQ(I.Timestamp, 160u);
  EXPECT_EQ(I.SequenceNumber, static_cast<uint16_t>(After.SequenceNumber + 1));
  EXPECT_EQ(I.Ssrc, After.Ssrc);
}

TEST(RtpBuild, SizesPaddingAndSettings) {
  struct TCase {
    uint16_t Multiple;
    uint32_t PayloadBytes;
    uint8_t Version;
    uint8_t PayloadType;
    uint32_t Size;       // 0: not built
    uint8_t PaddingCount;
    uint8_t Byte0;
  } Cases[] = {
      {1, 160, 2, 8, 172, 0, 0x80},
      {0, 160, 2, 8, 172, 0, 0x80},    // a multiple of 0 counts as 1
      {8, 160, 2, 8, 176, 4, 0xA0},    // 172 -> 176: padding flag, count 4 at the end
      {4, 160, 2, 8, 172, 0, 0x80},    // already a multiple
      {255, 160, 2, 8, 255, 83, 0xA0},
      {1, 160, 6, 8, 172, 0, 0x80},    // only the low two bits of the version
      {1, 160, 3, 127, 172, 0, 0xC0},
      {1, 4084, 2, 8, 4096, 0, 0x80},  // exactly the buffer
      {1, 4085, 2, 8, 0, 0, 0},        // one byte too many
      {100, 4080, 2, 8, 0, 0, 0},      // fits unpadded, not once padded (4100)
      {1, 100000, 2, 8, 0, 0, 0},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(testing::Message() << "multiple " << C.Multiple << ", " << C.PayloadBytes << " bytes");
    TRtpCodec Codec(7);
    Codec.SetBufSizeMultiple(C.Multiple);
    Codec.SetVersion(C.Version);
    Codec.SetPayloadType(C.PayloadType);
    const TRtpSendIdentity Before = Codec.SendIdentity();
    const std::vector<uint8_t> Payload = RtpTest::Pattern(C.PayloadBytes);
    TRtpPacketBuffer Packet;
    Packet.fill(0xEE);
    const uint32_t Size = Codec.BuildPacket(Payload.data(), C.PayloadBytes, Packet);
    ASSERT_EQ(Size, C.Size);
    const TRtpSendIdentity After = Codec.SendIdentity();
    if (Size == 0) {
      // Nothing built and nothing used up.
      EXPECT_EQ(After.SequenceNumber, Before.SequenceNumber);
      EXPECT_EQ(After.Timestamp, Before.Timestamp);
      EXPECT_EQ(Packet[0], 0xEE);
      continue;
    }
    EXPECT_EQ(Packet[0], C.Byte0);
    EXPECT_EQ(Packet[1] & 0x7F, C.PayloadType);
    const TRtpDatagramInfo I = ParseRtpDatagram(Packet.data(), static_cast<uint16_t>(Size));
    EXPECT_EQ(I.PaddingCount, C.PaddingCount);
    EXPECT_EQ(I.PayloadLength, static_cast<int32_t>(C.PayloadBytes));
    // Padding bytes before the count are zero.
    for (uint32_t P = 12 + C.PayloadBytes; P + 1 < Size; ++P) ASSERT_EQ(Packet[P], 0) << P;
  }
}

TEST(RtpBuild, PayloadTypeSetterIgnoresValuesFrom128) {
  TRtpCodec Codec(1);
  Codec.SetPayloadType(0);
  Codec.SetPayloadType(128);
  EXPECT_EQ(Codec.PayloadType(), 0);
  Codec.SetPayloadType(255);
  EXPECT_EQ(Codec.PayloadType(), 0);
  Codec.SetPayloadType(127);
  EXPECT_EQ(Codec.PayloadType(), 127);
}

TEST(RtpBuild, SequenceWrapsAndIdentityIsRandomPerSeed) {
  TRtpCodec Codec(99);
  const std::vector<uint8_t> Payload(160, 0xD5);
  TRtpPacketBuffer Packet;
  uint16_t Previous = Codec.SendIdentity().SequenceNumber;
  bool Wrapped = false;
  for (int I = 0; I < 65536; ++I) {
    ASSERT_EQ(Codec.BuildPacket(Payload.data(), 160, Packet), 172u);
    const uint16_t Seq = ParseRtpDatagram(Packet.data(), 172).SequenceNumber;
    ASSERT_EQ(Seq, static_cast<uint16_t>(Previous + 1));
    Wrapped |= Seq == 0;
    Previous = Seq;
  }
  EXPECT_TRUE(Wrapped);
  // The timestamp is 32 bits and keeps counting.
  EXPECT_EQ(Codec.SendIdentity().Timestamp, 65536u * 160u);

  // Different seeds, different identities; resets spread over the range.
  EXPECT_NE(TRtpCodec(1).SendIdentity().Ssrc, TRtpCodec(2).SendIdentity().Ssrc);
  TRtpCodec Spread(5);
  uint32_t MinSsrc = 0xFFFFFFFF, MaxSsrc = 0;
  uint16_t MinSeq = 0xFFFF, MaxSeq = 0;
  for (int I = 0; I < 200; ++I) {
    Spread.ResetSendIdentity();
    const TRtpSendIdentity Id = Spread.SendIdentity();
    MinSsrc = std::min(MinSsrc, Id.Ssrc);
    MaxSsrc = std::max(MaxSsrc, Id.Ssrc);
    MinSeq = std::min(MinSeq, Id.SequenceNumber);
    MaxSeq = std::max(MaxSeq, Id.SequenceNumber);
  }
  EXPECT_LT(MinSsrc, 0x40000000u);
  EXPECT_GT(MaxSsrc, 0xC0000000u);
  EXPECT_LT(MinSeq, 0x4000);
  EXPECT_GT(MaxSeq, 0xC000);
}

// ---- parsing

TEST(RtpParse, LayoutsAndDatagramsThatEndTooSoon) {
  struct TCase {
    const char* Name;
    TDatagram D;
    bool HeaderInside;
    uint32_t Offset;
    int32_t Length;
  } Cases[] = {
      {"plain", TDatagram{}, true, 12, 160},
      {"two CSRC", TDatagram{.Csrc = 2}, true, 20, 152},
      {"CSRC and extension", TDatagram{.Extension = true, .Csrc = 1, .ExtWords = 3}, true, 32, 140},
      {"padding 4", TDatagram{.Padding = true, .PadCount = 4}, true, 12, 156},
      {"padding eats all", TDatagram{.Padding = true, .PadCount = 200, .Length = 100}, true, 12, -112},
      {"extension runs past the end", TDatagram{.Extension = true, .ExtWords = 100, .Length = 100}, true, 416, -316},
      {"15 CSRC fill 72 bytes", TDatagram{.Csrc = 15, .Length = 72}, true, 72, 0},
      // The extension header would begin at byte 72 of a 72-byte datagram.
      {"15 CSRC and extension in 72 bytes", TDatagram{.Extension = true, .Csrc = 15, .Length = 72}, false, 0, 0},
      {"extension header cut", TDatagram{.Extension = true, .Length = 14}, false, 0, 0},
      {"CSRC list cut", TDatagram{.Csrc = 15, .Length = 40}, false, 0, 0},
      {"shorter than the header", TDatagram{.Length = 11}, false, 0, 0},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    // An exact-size heap copy: AddressSanitizer catches any read past its end.
    const std::vector<uint8_t> Bytes = C.D.Bytes();
    const TRtpDatagramInfo I = ParseRtpDatagram(Bytes.data(), static_cast<uint16_t>(Bytes.size()));
    EXPECT_EQ(I.HeaderInside, C.HeaderInside);
    EXPECT_EQ(I.PayloadOffset, C.Offset);
    EXPECT_EQ(I.PayloadLength, C.Length);
    if (Bytes.size() >= 12) {
      EXPECT_EQ(I.SequenceNumber, C.D.Seq);
      EXPECT_EQ(I.Ssrc, C.D.Ssrc);
    }
  }
}

// ---- acceptance

// Two packets' time of the defaults: how long a played stream holds.
constexpr uint32_t HoldMs = 40;

struct TStep {
  TDatagram D;
  bool Accepted;
  uint32_t RemoteSsrc;  // tracking afterwards
  uint16_t LastSeq;
  uint32_t Tick = 0;  // of the arrival, from sender 1
};

void RunSteps(TRtpCodec& Codec, const std::vector<TStep>& Steps) {
  int N = 0;
  for (const TStep& S : Steps) {
    SCOPED_TRACE(testing::Message() << "step " << N++ << " seq " << S.D.Seq);
    const std::vector<uint8_t> Bytes = S.D.Bytes();
    TRtpDatagramInfo Info;
    const TRtpVerdict V = Codec.Check(Bytes.data(), static_cast<uint32_t>(Bytes.size()), &Info, {1, S.Tick, HoldMs});
    EXPECT_EQ(V == TRtpVerdict::Accepted, S.Accepted) << static_cast<int>(V);
    const TRtpReceiveTracking T = Codec.ReceiveTracking();
    EXPECT_EQ(T.RemoteSsrc, S.RemoteSsrc);
    EXPECT_EQ(T.LastSequenceNumber, S.LastSeq);
    if (S.Accepted) {
      EXPECT_GT(Info.PayloadLength, 0);
      EXPECT_LE(Info.PayloadOffset + Info.PayloadLength, Bytes.size());
    }
  }
}

constexpr uint32_t A = 0xAAAA0001, B = 0xBBBB0002;

TEST(RtpAccept, DatagramChecksBeforeTracking) {
  TRtpCodec Codec(3);
  Codec.SetAwaitingFirstStream(true);  // accepted at once once checked
  RunSteps(Codec, {
      {TDatagram{.Length = 71}, false, 0, 0},                      // 1: too short, even if valid
      {TDatagram{.Seq = 1, .Length = 72}, true, 0, 0},
      {TDatagram{.Csrc = 15, .Length = 72}, false, 0, 0},          // 3: no payload left
      {TDatagram{.Extension = true, .Csrc = 15, .Length = 72}, false, 0, 0},  // header past the end
      {TDatagram{.Version = 1}, false, 0, 0},                      // 2: version
      {TDatagram{.Padding = true, .PadCount = 160}, false, 0, 0},  // 3: padding leaves nothing
      {TDatagram{.Padding = true, .Seq = 2, .PadCount = 159}, true, 0, 0},
      {TDatagram{.Extension = true, .ExtWords = 40}, false, 0, 0}, // 3: 172 - 12 - 164 < 1
      {TDatagram{.Extension = true, .Seq = 3, .ExtWords = 38}, true, 0, 0},
      {TDatagram{.Marker = true, .Pt = 0, .Seq = 4}, true, 0, 0},            // type and marker do not matter
  });
  // Nothing but UDP-sized datagrams.
  std::vector<uint8_t> Huge(70000, 0);
  Huge[0] = 0x80;
  EXPECT_FALSE(Codec.Accept(Huge.data(), static_cast<uint32_t>(Huge.size())));
}

TEST(RtpAccept, VersionAgainstTheWholeSetting) {
  for (uint8_t Setting : {0, 1, 2, 3, 4, 6, 255}) {
    SCOPED_TRACE(static_cast<int>(Setting));
    TRtpCodec Codec(3);
    Codec.SetAwaitingFirstStream(true);
    Codec.SetVersion(Setting);
    for (uint8_t Field = 0; Field < 4; ++Field) {
      const std::vector<uint8_t> Bytes = TDatagram{.Version = Field}.Bytes();
      EXPECT_EQ(Codec.Accept(Bytes.data(), 172), Field == Setting) << static_cast<int>(Field);
    }
  }
}

TEST(RtpAccept, AwaitingFirstStreamRecordsNothing) {
  TRtpCodec Codec(3);
  const TRtpSendIdentity Before = Codec.SendIdentity();
  Codec.SetAwaitingFirstStream(true);
  RunSteps(Codec, {
      {TDatagram{.Seq = 500, .Ssrc = A}, true, 0, 0},
      {TDatagram{.Seq = 10, .Ssrc = B}, true, 0, 0, HoldMs},  // another stream once the first paused
      {TDatagram{.Seq = 40000, .Ssrc = A}, true, 0, 0, 2 * HoldMs},
  });
  EXPECT_EQ(Codec.SendIdentity().Ssrc, Before.Ssrc);
  // Once a peer left: the first stream is adopted as a new SSRC.
  Codec.SetAwaitingFirstStream(false);
  RunSteps(Codec, {{TDatagram{.Seq = 40001, .Ssrc = A}, true, A, 40001, 2 * HoldMs}});
  EXPECT_NE(Codec.SendIdentity().Ssrc, Before.Ssrc);
}

TEST(RtpAccept, SequenceIntervalScenarios) {
  TRtpCodec Codec(3);
  Codec.SetMaxRecvSequenceNumberInterval(100);
  RunSteps(Codec, {
      {TDatagram{.Seq = 1000, .Ssrc = A}, true, A, 1000},   // new SSRC: adopted
      {TDatagram{.Seq = 1101, .Ssrc = A}, false, A, 1101},  // jump of 101: rejected, recorded
      {TDatagram{.Seq = 1102, .Ssrc = A}, true, A, 1102},   // measured from the rejected one
      {TDatagram{.Seq = 1202, .Ssrc = A}, true, A, 1202},   // exactly the interval
      {TDatagram{.Seq = 1202, .Ssrc = A}, false, A, 1202},  // repeated: not played twice
      {TDatagram{.Seq = 1150, .Ssrc = A}, false, A, 1202},  // older: late, nothing recorded
      {TDatagram{.Seq = 65500, .Ssrc = A}, false, A, 1202},  // far behind, modulo 65536: late too
      {TDatagram{.Seq = 1203, .Ts = 1, .Ssrc = A}, true, A, 1203},
      {TDatagram{.Seq = 1204, .Ts = 0xFFFFFFFF, .Ssrc = A}, true, A, 1204},  // timestamps not checked
      {TDatagram{.Seq = 65500, .Ssrc = B}, true, B, 65500, HoldMs},  // another SSRC: adopted at any distance
      {TDatagram{.Seq = 65535, .Ssrc = B}, true, B, 65535, HoldMs},
      {TDatagram{.Seq = 99, .Ssrc = B}, true, B, 99, HoldMs},        // the wrap: +100
      {TDatagram{.Seq = 65534, .Ssrc = B}, false, B, 99, HoldMs},    // behind across the wrap: late
      {TDatagram{.Seq = 200, .Ssrc = B}, false, B, 200, HoldMs},     // +101: a jump
      {TDatagram{.Seq = 201, .Ssrc = A}, true, A, 201, 2 * HoldMs},
  });
  EXPECT_EQ(Codec.ReceiveTracking().LastTimestamp, TDatagram{}.Ts);
  // Any step forward passes the widest interval.
  Codec.SetMaxRecvSequenceNumberInterval(65535);
  RunSteps(Codec, {{TDatagram{.Seq = 32968, .Ssrc = A}, true, A, 32968, 2 * HoldMs}});
}

// One stream is played at a time: a source is a sender (the transport's client)
// with its SSRC. Another source's packets are refused until the played one has
// been silent for the hold time; then the next packet of any source starts a
// stream, and only a stream that is played moves the tracking and the identity.
TEST(RtpAccept, OneStreamIsPlayedAtATime) {
  for (const bool Awaiting : {true, false}) {
    SCOPED_TRACE(Awaiting ? "awaiting the first stream" : "tracking");
    ResetStartValues();
    DoLog = true;
    TestSupport::TLogCapture Capture;
    TRtpCodec Codec(5);
    Codec.SetAwaitingFirstStream(Awaiting);
    using V = TRtpVerdict;
    const struct {
      int32_t Sender;
      uint32_t Ssrc;
      uint16_t Seq;
      uint32_t Tick;
      TRtpVerdict Verdict;
    } Steps[] = {
        {1, A, 100, 1000, V::Accepted},
        {2, B, 7000, 1005, V::OtherSource},   // a second sender
        {3, A, 101, 1010, V::OtherSource},    // the same stream from a new port
        {1, A, 101, 1020, V::Accepted},
        {1, B, 7001, 1025, V::OtherSource},   // the same sender, another SSRC
        {2, B, 7002, 1059, V::OtherSource},   // 39 ms of silence
        {2, B, 7003, 1060, V::Accepted},      // 40: the second takes over
        {1, A, 102, 1065, V::OtherSource},
        {2, B, 7002, 1070, V::Late},          // behind its own stream
        {2, B, 7004, 1080, V::Accepted},
        {3, A, 103, 1200, V::Accepted},       // the port move, after a pause
        {3, A, 104, 1220, V::Accepted},
        {3, A, 60000, 1240, V::Late},         // far behind is late too
        {3, A, 90, 1300, V::Accepted},        // after a pause a sender may start anew
    };
    uint32_t Ssrc = Codec.SendIdentity().Ssrc;
    size_t Renewals = 0;
    for (const auto& S : Steps) {
      SCOPED_TRACE(testing::Message() << "sender " << S.Sender << " seq " << S.Seq << " at " << S.Tick);
      const std::vector<uint8_t> Bytes = TDatagram{.Seq = S.Seq, .Ssrc = S.Ssrc}.Bytes();
      EXPECT_EQ(Codec.Check(Bytes.data(), 172, nullptr, {S.Sender, S.Tick, HoldMs}), S.Verdict);
      Renewals += Codec.SendIdentity().Ssrc != Ssrc;
      Ssrc = Codec.SendIdentity().Ssrc;
    }
    // Tracking: A, B and A again are each a change of the played stream; the
    // packets not played change nothing. Awaiting, nothing at all.
    EXPECT_EQ(Renewals, Awaiting ? 0u : 3u);
    EXPECT_EQ(Capture.Lines(), std::vector<std::string>(Awaiting ? 0 : 3, "RTP SSRC CHANGED!"));
    EXPECT_EQ(Codec.ReceiveTracking().RemoteSsrc, Awaiting ? 0u : A);
  }
  ResetStartValues();
}

TEST(RtpAccept, ARepeatOfARecentPacketIsRefusedAndChangesNothing) {
  TRtpCodec Codec(3);
  Codec.SetAwaitingFirstStream(true);
  RunSteps(Codec, {
      {TDatagram{.Seq = 10, .Ssrc = A}, true, 0, 0},
      {TDatagram{.Seq = 10, .Ssrc = B}, true, 0, 0, HoldMs},       // another stream's number
      {TDatagram{.Seq = 10, .Ssrc = A}, false, 0, 0, 2 * HoldMs},  // also while awaiting the first stream
  });
  Codec.SetAwaitingFirstStream(false);
  RunSteps(Codec, {
      {TDatagram{.Seq = 20, .Ssrc = A}, true, A, 20, 2 * HoldMs},
      {TDatagram{.Seq = 21, .Ssrc = A}, true, A, 21, 2 * HoldMs},
      {TDatagram{.Seq = 20, .Ssrc = A}, false, A, 21, 2 * HoldMs},  // late copy: the tracking stays
      {TDatagram{.Seq = 19, .Ssrc = A}, false, A, 21, 2 * HoldMs},  // older: late
      {TDatagram{.Seq = 22, .Ssrc = A}, true, A, 22, 2 * HoldMs},
  });
  // A copy of a packet refused by the interval rule is no repeat of an accepted one.
  Codec.SetMaxRecvSequenceNumberInterval(100);
  RunSteps(Codec, {
      {TDatagram{.Seq = 500, .Ssrc = A}, false, A, 500, 2 * HoldMs},
      {TDatagram{.Seq = 500, .Ssrc = A}, true, A, 500, 2 * HoldMs},
  });
  // Only the last few are remembered: after eight later packets 20 is no
  // repeat, and once the stream has paused it starts it again.
  for (uint16_t Seq = 501; Seq < 509; ++Seq)
    RunSteps(Codec, {{TDatagram{.Seq = Seq, .Ssrc = A}, true, A, Seq, 2 * HoldMs}});
  RunSteps(Codec, {{TDatagram{.Seq = 20, .Ssrc = A}, true, A, 20, 3 * HoldMs}});
}

TEST(RtpAccept, NewSsrcResetsTheSendIdentityAndLogsWhenAsked) {
  for (const bool Log : {true, false}) {
    SCOPED_TRACE(Log);
    ResetStartValues();
    DoLog = Log;
    TestSupport::TLogCapture Capture;
    TRtpCodec Codec(11);
    const std::vector<uint8_t> Payload(160, 1);
    TRtpPacketBuffer Packet;
    Codec.BuildPacket(Payload.data(), 160, Packet);
    const TRtpSendIdentity Before = Codec.SendIdentity();
    RunSteps(Codec, {{TDatagram{.Seq = 5, .Ts = 777, .Ssrc = A}, true, A, 5}});
    const TRtpSendIdentity After = Codec.SendIdentity();
    EXPECT_NE(After.Ssrc, Before.Ssrc);
    EXPECT_EQ(After.Timestamp, 0u);
    EXPECT_EQ(Codec.ReceiveTracking().LastTimestamp, 777u);
    // The same SSRC again changes nothing of the own identity.
    RunSteps(Codec, {{TDatagram{.Seq = 6, .Ssrc = A}, true, A, 6}});
    EXPECT_EQ(Codec.SendIdentity().Ssrc, After.Ssrc);
    const std::vector<std::string> Expected =
        Log ? std::vector<std::string>{"RTP SSRC CHANGED!"} : std::vector<std::string>{};
    EXPECT_EQ(Capture.Lines(), Expected);
  }
  ResetStartValues();
}

// The session thread builds while transport threads accept datagrams of two
// alternating peers (each one resets the send identity) and the host thread
// resets it too. Every packet must belong to one whole identity: within one
// SSRC the sequence numbers and timestamps run on without a gap from the reset.
TEST(RtpCodecConcurrency, ResetAndAdvanceAreAtomic) {
  TRtpCodec Codec(21);
  std::atomic<bool> Done{false};
  std::vector<std::thread> Others;
  for (int T = 0; T < 2; ++T)
    Others.emplace_back([&, T] {
      uint16_t Seq = 0;
      while (!Done.load()) {
        const std::vector<uint8_t> Bytes = TDatagram{.Seq = ++Seq, .Ssrc = T == 0 ? A : B}.Bytes();
        Codec.Accept(Bytes.data(), 172);
        Codec.SetAwaitingFirstStream(Seq % 64 == 0);
      }
    });
  Others.emplace_back([&] {
    while (!Done.load()) {
      Codec.ResetSendIdentity();
      std::this_thread::yield();
    }
  });
  struct TSeen {
    uint16_t FirstSeq;
    uint32_t Count;
  };
  std::map<uint32_t, TSeen> Streams;
  const std::vector<uint8_t> Payload(160, 0x55);
  TRtpPacketBuffer Packet;
  int Broken = 0;
  // Until the other threads have had their turn many times (a loaded machine
  // may start them late), with a generous cap.
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (int I = 0; I < 20000 || (Streams.size() < 20 && std::chrono::steady_clock::now() < Deadline); ++I) {
    ASSERT_EQ(Codec.BuildPacket(Payload.data(), 160, Packet), 172u);
    const TRtpDatagramInfo D = ParseRtpDatagram(Packet.data(), 172);
    auto [It, New] = Streams.try_emplace(D.Ssrc, TSeen{D.SequenceNumber, 0});
    ++It->second.Count;
    // The n-th packet of an identity carries n steps and the start value + n.
    if (D.Timestamp != It->second.Count * 160u ||
        D.SequenceNumber != static_cast<uint16_t>(It->second.FirstSeq + It->second.Count - 1))
      ++Broken;
  }
  Done.store(true);
  for (auto& T : Others) T.join();
  EXPECT_EQ(Broken, 0);
  EXPECT_GE(Streams.size(), 20u);
}

}  // namespace

namespace {

TEST(RtpAccept, WithoutStreamTrackingStreamsAndRepeatsPassAndTheIdentityStays) {
  // The adaptive receive buffer sorts streams and repeats out itself: the codec
  // only checks the datagram's form and version then.
  TRtpCodec Codec(3);
  Codec.SetStreamTracking(false);
  Codec.SetAwaitingFirstStream(false);
  Codec.SetMaxRecvSequenceNumberInterval(10);
  const uint32_t Own = Codec.SendIdentity().Ssrc;
  struct TStep {
    TDatagram D;
    bool Accepted;
  };
  const std::vector<TStep> Steps = {
      {{.Seq = 1, .Ssrc = 0xA}, true},
      {{.Seq = 500, .Ssrc = 0xB}, true},   // another talker
      {{.Seq = 2, .Ssrc = 0xA}, true},     // and back
      {{.Seq = 2, .Ssrc = 0xA}, true},     // a repeat: the buffer counts it
      {{.Seq = 900, .Ssrc = 0xA}, true},   // a jump beyond the interval
      {{.Version = 1, .Seq = 3, .Ssrc = 0xA}, false},
      {{.Seq = 4, .Ssrc = 0xA, .Length = 71}, false},
      {{.Padding = true, .Seq = 5, .Ssrc = 0xA, .PadCount = 200}, false},
  };
  for (size_t I = 0; I < Steps.size(); ++I) {
    const std::vector<uint8_t> B = Steps[I].D.Bytes();
    EXPECT_EQ(Codec.Accept(B.data(), static_cast<uint32_t>(B.size())), Steps[I].Accepted) << "step " << I;
  }
  EXPECT_EQ(Codec.SendIdentity().Ssrc, Own);
  // Switched back on, a change of stream renews the identity again.
  Codec.SetStreamTracking(true);
  const std::vector<uint8_t> B = TDatagram{.Seq = 7, .Ssrc = 0xC}.Bytes();
  EXPECT_TRUE(Codec.Accept(B.data(), static_cast<uint32_t>(B.size())));
  EXPECT_NE(Codec.SendIdentity().Ssrc, Own);
}

}  // namespace
