// The crypto contexts through the sender and the receiver: the rollover
// counter across the wrap and reordering, new SSRCs, replays, and refusals
// that leave neither the packet nor the receiver's state changed.
#include <gtest/gtest.h>

#include <vector>

#include "srtp/srtp.h"
#include "srtp/srtp_index.h"
#include "srtp_test_support.h"

namespace {

using SrtpTest::RtpPacket;
using V = TSrtpVerdict;

using SrtpTest::AllSuites;

TSrtpMasterKey KeyFor(TSrtpSuite Suite, uint8_t Seed = 1) {
  std::vector<uint8_t> Bytes(SrtpMasterKeyBytes(Suite) + SrtpMasterSaltBytes(Suite));
  for (size_t I = 0; I < Bytes.size(); ++I) Bytes[I] = static_cast<uint8_t>(Seed * 31 + I * 7);
  return TSrtpMasterKey(Suite, Bytes);
}

std::vector<uint8_t> Protect(TSrtpSender& Sender, std::vector<uint8_t> Plain, bool Rtcp = false) {
  const size_t Length = Plain.size();
  Plain.resize(Length + SrtpMaxOverhead);
  const size_t Protected = Rtcp ? Sender.ProtectRtcp(Plain.data(), Length, Plain.size())
                                : Sender.ProtectRtp(Plain.data(), Length, Plain.size());
  EXPECT_NE(Protected, 0u);
  Plain.resize(Protected);
  return Plain;
}

// Unprotects a copy; on Ok it must give back Plain, otherwise the copy must be
// untouched (the tag was checked before anything was decrypted).
V Unprotect(TSrtpReceiver& Receiver, const std::vector<uint8_t>& Protected, const std::vector<uint8_t>& Plain,
            bool Rtcp = false) {
  std::vector<uint8_t> P = Protected;
  size_t Length = P.size();
  const V Verdict = Rtcp ? Receiver.UnprotectRtcp(P.data(), Length) : Receiver.UnprotectRtp(P.data(), Length);
  if (Verdict == V::Ok) {
    P.resize(Length);
    EXPECT_EQ(P, Plain);
  } else {
    EXPECT_EQ(Length, Protected.size());
    EXPECT_EQ(P, Protected) << "a refused packet was changed";
  }
  return Verdict;
}

// Count packets of one SSRC from FirstSeq on, plain and as Sender protected them.
struct TStream {
  std::vector<std::vector<uint8_t>> Plain, Sent;
};
TStream Stream(TSrtpSender& Sender, uint32_t Ssrc, uint16_t FirstSeq, uint32_t Count) {
  TStream S;
  for (uint32_t I = 0; I < Count; ++I) {
    S.Plain.push_back(RtpPacket(Ssrc, static_cast<uint16_t>(FirstSeq + I)));
    S.Sent.push_back(Protect(Sender, S.Plain.back()));
  }
  return S;
}

std::vector<uint8_t> RtcpPacket(uint32_t Ssrc, size_t Words = 7) {
  std::vector<uint8_t> P(4 * Words);
  P[0] = 0x80;
  P[1] = 201;
  Platform::PutBE16(P.data() + 2, static_cast<uint16_t>(Words - 1));
  Platform::PutBE32(P.data() + 4, Ssrc);
  for (size_t I = 8; I < P.size(); ++I) P[I] = static_cast<uint8_t>(I);
  return P;
}

TEST(SrtpIndex, EstimateFollowsTheWrapBothWays) {
  EXPECT_EQ(SrtpEstimateIndex(0x0000FFFF, 0), 0x10000);        // the wrap forward
  EXPECT_EQ(SrtpEstimateIndex(0x00010002, 0xFFFE), 0xFFFE);    // late, from before the wrap
  EXPECT_EQ(SrtpEstimateIndex(0x00030000 | 40000, 7000), 0x40000 | 7000);
  EXPECT_EQ(SrtpEstimateIndex(0x00030000 | 40000, 8000), 0x30000 | 8000);  // not beyond half the space
  EXPECT_EQ(SrtpEstimateIndex(0x00030000 | 100, 50000), 0x20000 | 50000);
  EXPECT_LT(SrtpEstimateIndex(100, 50000), 0);  // before the stream's first ROC
}

TEST(SrtpContext, PeerStartingNearTheWrapWithReorderingAcrossIt) {
  for (TSrtpSuite Suite : AllSuites) {
    SCOPED_TRACE(SrtpSuiteName(Suite));
    TSrtpSender Sender(KeyFor(Suite));
    TSrtpReceiver Receiver(KeyFor(Suite));
    const auto [Plain, Sent] = Stream(Sender, 0x11223344, 65530, 20);
    // 65530 first, then pairs swapped: 65535 and 0 cross the wrap in either order.
    const size_t Order[] = {0, 2, 1, 3, 4, 6, 5, 7, 9, 8, 10, 11, 13, 12, 14, 15, 16, 17, 19, 18};
    for (size_t I : Order) EXPECT_EQ(Unprotect(Receiver, Sent[I], Plain[I]), V::Ok) << "packet " << I;
    for (size_t I : {5u, 6u, 19u}) EXPECT_EQ(Unprotect(Receiver, Sent[I], Plain[I]), V::Replay) << "packet " << I;

    // The ROC enters the tag: a packet made at ROC 0 with a sequence number
    // the receiver places after the wrap is not taken.
    TSrtpSender Unwrapped(KeyFor(Suite));
    const std::vector<uint8_t> P = RtpPacket(0x11223344, 20);
    EXPECT_EQ(Unprotect(Receiver, Protect(Unwrapped, P), P), V::Authentication);
  }
}

TEST(SrtpContext, EachSsrcHasItsOwnRolloverCounter) {
  for (TSrtpSuite Suite : AllSuites) {
    SCOPED_TRACE(SrtpSuiteName(Suite));
    TSrtpSender Sender(KeyFor(Suite));
    TSrtpReceiver Receiver(KeyFor(Suite));
    for (uint32_t Seq = 65534; Seq != 65539; ++Seq) {
      const std::vector<uint8_t> P = RtpPacket(0xAAAA0001, static_cast<uint16_t>(Seq));
      ASSERT_EQ(Unprotect(Receiver, Protect(Sender, P), P), V::Ok);
    }
    // Our SSRC renewal: the new SSRC starts at ROC 0 on both sides, whether
    // the sender was restarted or only saw the SSRC change.
    for (bool Restart : {false, true}) {
      if (Restart) Sender.Restart();
      const uint32_t Ssrc = Restart ? 0xAAAA0003 : 0xAAAA0002;
      for (uint16_t Seq : {40000, 40001}) {
        const std::vector<uint8_t> P = RtpPacket(Ssrc, Seq);
        EXPECT_EQ(Unprotect(Receiver, Protect(Sender, P), P), V::Ok) << Ssrc << " " << Seq;
      }
    }
    // The first SSRC's context is still there: its packets go on at ROC 1
    // (a second sender of it, brought to the same point, makes the next one).
    TSrtpSender Again(KeyFor(Suite));
    std::vector<uint8_t> Next;
    for (uint32_t Seq = 65534; Seq != 65540; ++Seq) Next = Protect(Again, RtpPacket(0xAAAA0001, static_cast<uint16_t>(Seq)));
    EXPECT_EQ(Unprotect(Receiver, Next, RtpPacket(0xAAAA0001, 3)), V::Ok);
  }
}

TEST(SrtpContext, ReplaysAndPacketsOlderThanTheWindowAreRefused) {
  for (TSrtpSuite Suite : AllSuites) {
    SCOPED_TRACE(SrtpSuiteName(Suite));
    TSrtpSender Sender(KeyFor(Suite));
    TSrtpReceiver Receiver(KeyFor(Suite));
    const auto [Plain, Sent] = Stream(Sender, 7, 1000, 200);
    EXPECT_EQ(Unprotect(Receiver, Sent[0], Plain[0]), V::Ok);
    EXPECT_EQ(Unprotect(Receiver, Sent[0], Plain[0]), V::Replay);
    EXPECT_EQ(Unprotect(Receiver, Sent[199], Plain[199]), V::Ok);
    // 128 packets behind the highest is inside the window, 129 is not.
    EXPECT_EQ(Unprotect(Receiver, Sent[199 - 127], Plain[199 - 127]), V::Ok);
    EXPECT_EQ(Unprotect(Receiver, Sent[199 - 128], Plain[199 - 128]), V::Replay);
    EXPECT_EQ(Unprotect(Receiver, Sent[199 - 127], Plain[199 - 127]), V::Replay);

    // SRTCP has a replay list of its own.
    const std::vector<uint8_t> Report = RtcpPacket(7);
    const std::vector<uint8_t> First = Protect(Sender, Report, true);
    const std::vector<uint8_t> Second = Protect(Sender, Report, true);
    EXPECT_EQ(Unprotect(Receiver, Second, Report, true), V::Ok);
    EXPECT_EQ(Unprotect(Receiver, First, Report, true), V::Ok);
    EXPECT_EQ(Unprotect(Receiver, Second, Report, true), V::Replay);
    EXPECT_EQ(Unprotect(Receiver, First, Report, true), V::Replay);
  }
}

TEST(SrtpContext, AnyFlippedBitIsRefusedAndLeavesNoTrace) {
  for (TSrtpSuite Suite : AllSuites) {
    SCOPED_TRACE(SrtpSuiteName(Suite));
    TSrtpSender Sender(KeyFor(Suite));
    TSrtpReceiver Receiver(KeyFor(Suite));
    const std::vector<uint8_t> Before = RtpPacket(0x5501a0b2, 65535, 40);
    ASSERT_EQ(Unprotect(Receiver, Protect(Sender, Before), Before), V::Ok);
    // Two CSRCs and an extension: the header the receiver reads is longer.
    std::vector<uint8_t> Plain = RtpPacket(0x5501a0b2, 0, 40);
    Plain[0] = 0x92;
    Platform::PutBE16(Plain.data() + 22, 1);
    const std::vector<uint8_t> Sent = Protect(Sender, Plain);
    const std::vector<uint8_t> Report = RtcpPacket(0x5501a0b2);
    const std::vector<uint8_t> SentReport = Protect(Sender, Report, true);
    for (size_t Byte = 0; Byte < Sent.size(); ++Byte)
      for (int Bit = 0; Bit < 8; ++Bit) {
        std::vector<uint8_t> Forged = Sent;
        Forged[Byte] ^= static_cast<uint8_t>(1 << Bit);
        EXPECT_NE(Unprotect(Receiver, Forged, Plain), V::Ok) << "RTP byte " << Byte << " bit " << Bit;
      }
    for (size_t Byte = 0; Byte < SentReport.size(); ++Byte)
      for (int Bit = 0; Bit < 8; ++Bit) {
        std::vector<uint8_t> Forged = SentReport;
        Forged[Byte] ^= static_cast<uint8_t>(1 << Bit);
        EXPECT_NE(Unprotect(Receiver, Forged, Report, true), V::Ok) << "RTCP byte " << Byte << " bit " << Bit;
      }
    // None of the forgeries moved the ROC or filled the replay lists: the
    // genuine packets, the first across the wrap, are still taken.
    EXPECT_EQ(Unprotect(Receiver, Sent, Plain), V::Ok);
    EXPECT_EQ(Unprotect(Receiver, SentReport, Report, true), V::Ok);
  }
}

TEST(SrtpContext, ForgedSsrcsDoNotPushOutRealOnes) {
  const TSrtpSuite Suite = TSrtpSuite::AesCm128HmacSha1_80;
  TSrtpSender Sender(KeyFor(Suite));
  TSrtpSender Forger(KeyFor(Suite, 2));
  TSrtpReceiver Receiver(KeyFor(Suite));
  std::vector<std::vector<uint8_t>> Plain, Sent;
  for (uint32_t Ssrc = 1; Ssrc <= TSrtpSsrcTable::Capacity; ++Ssrc) {
    Plain.push_back(RtpPacket(Ssrc, 10));
    Sent.push_back(Protect(Sender, Plain.back()));
    ASSERT_EQ(Unprotect(Receiver, Sent.back(), Plain.back()), V::Ok);
  }
  for (uint32_t Ssrc = 100; Ssrc < 200; ++Ssrc) {
    const std::vector<uint8_t> P = RtpPacket(Ssrc, 10);
    EXPECT_EQ(Unprotect(Receiver, Protect(Forger, P), P), V::Authentication);
  }
  // Every real context kept its replay list.
  for (size_t I = 0; I < Sent.size(); ++I) EXPECT_EQ(Unprotect(Receiver, Sent[I], Plain[I]), V::Replay) << I;
  // A genuine newcomer takes the place of the one heard longest ago, whose
  // next packet starts afresh; the others stay.
  const std::vector<uint8_t> Newcomer = RtpPacket(500, 10);
  EXPECT_EQ(Unprotect(Receiver, Protect(Sender, Newcomer), Newcomer), V::Ok);
  EXPECT_EQ(Unprotect(Receiver, Sent[15], Plain[15]), V::Replay);
  EXPECT_EQ(Unprotect(Receiver, Sent[0], Plain[0]), V::Ok);
}

TEST(SrtpContext, ShortMalformedAndOversizedPackets) {
  for (TSrtpSuite Suite : AllSuites) {
    SCOPED_TRACE(SrtpSuiteName(Suite));
    TSrtpSender Sender(KeyFor(Suite));
    TSrtpReceiver Receiver(KeyFor(Suite));
    const size_t Tag = Suite == TSrtpSuite::AeadAes128Gcm ? 16 : Suite == TSrtpSuite::AesCm128HmacSha1_32 ? 4 : 10;
    const std::vector<uint8_t> Plain = RtpPacket(9, 1, 0);
    const std::vector<uint8_t> Sent = Protect(Sender, Plain);
    ASSERT_EQ(Sent.size(), 12 + Tag);
    std::vector<uint8_t> Cut(Sent.begin(), Sent.end() - 1);
    EXPECT_EQ(Unprotect(Receiver, Cut, Plain), V::TooShort);
    std::vector<uint8_t> Version = Sent;
    Version[0] = 0x40;
    EXPECT_EQ(Unprotect(Receiver, Version, Plain), V::Malformed);
    std::vector<uint8_t> Csrcs = Sent;
    Csrcs[0] = 0x81;  // a CSRC that would lie in the tag
    EXPECT_EQ(Unprotect(Receiver, Csrcs, Plain), V::Malformed);
    std::vector<uint8_t> Extension = RtpPacket(9, 2, 8);
    Extension[0] = 0x90;
    Platform::PutBE16(Extension.data() + 14, 4);  // 16 bytes said, 4 there
    const size_t Length = Extension.size();
    Extension.resize(Length + SrtpMaxOverhead);
    EXPECT_EQ(Sender.ProtectRtp(Extension.data(), Length, Extension.size()), 0u);
    EXPECT_EQ(Unprotect(Receiver, std::vector<uint8_t>(Extension.begin(), Extension.begin() + 30), Plain),
              V::Malformed);
    EXPECT_EQ(Unprotect(Receiver, std::vector<uint8_t>(10, 0x80), Plain, true), V::TooShort);

    // No room for the tag: nothing is written.
    std::vector<uint8_t> Full = RtpPacket(9, 3);
    const std::vector<uint8_t> Copy = Full;
    Full.resize(Full.size() + Tag - 1);
    EXPECT_EQ(Sender.ProtectRtp(Full.data(), Copy.size(), Full.size()), 0u);
    EXPECT_TRUE(std::equal(Copy.begin(), Copy.end(), Full.begin()));
  }
}

TEST(SrtpSuite, NamesAreExact) {
  for (TSrtpSuite Suite : AllSuites) EXPECT_EQ(SrtpSuiteFromName(SrtpSuiteName(Suite)), Suite);
  EXPECT_EQ(SrtpSuiteName(TSrtpSuite::AesCm128HmacSha1_80), "AES_CM_128_HMAC_SHA1_80");
  EXPECT_EQ(SrtpSuiteName(TSrtpSuite::AesCm128HmacSha1_32), "AES_CM_128_HMAC_SHA1_32");
  EXPECT_EQ(SrtpSuiteName(TSrtpSuite::AeadAes128Gcm), "AEAD_AES_128_GCM");
  EXPECT_EQ(SrtpSuiteFromName("aes_cm_128_hmac_sha1_80"), std::nullopt);
  EXPECT_EQ(SrtpSuiteFromName("AEAD_AES_256_GCM"), std::nullopt);
}

}  // namespace
