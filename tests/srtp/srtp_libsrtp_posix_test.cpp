// Our SRTP against libsrtp2, the reference implementation (Debian's, over its
// own cryptography): thousands of random packets protected by one side and
// unprotected by the other, both ways, every suite, RTP and RTCP, across the
// sequence number's wrap and with reordering across it; a packet with a bit
// flipped anywhere or sent twice is refused by both.
#include <gtest/gtest.h>

#include <srtp2/srtp.h>

#include <algorithm>
#include <optional>
#include <random>
#include <vector>

#include "srtp/srtp.h"
#include "srtp_test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using V = TSrtpVerdict;

using SrtpTest::AllSuites;
constexpr size_t Room = SRTP_MAX_TRAILER_LEN + 4;

srtp_profile_t ProfileOf(TSrtpSuite Suite) {
  switch (Suite) {
    case TSrtpSuite::AesCm128HmacSha1_80: return srtp_profile_aes128_cm_sha1_80;
    case TSrtpSuite::AesCm128HmacSha1_32: return srtp_profile_aes128_cm_sha1_32;
    case TSrtpSuite::AeadAes128Gcm: return srtp_profile_aead_aes_128_gcm;
  }
  return srtp_profile_reserved;
}

// One libsrtp2 session for any SSRC, sending or receiving.
class TLibSrtp {
public:
  TLibSrtp(TSrtpSuite Suite, Bytes Key, bool Sending) : FKey(std::move(Key)) {
    static const bool Initialised = srtp_init() == srtp_err_status_ok;
    EXPECT_TRUE(Initialised);
    srtp_policy_t Policy{};
    // The profile's own policies: for AES_CM_128_HMAC_SHA1_32 that gives
    // SRTCP the 80-bit tag.
    EXPECT_EQ(srtp_crypto_policy_set_from_profile_for_rtp(&Policy.rtp, ProfileOf(Suite)), srtp_err_status_ok);
    EXPECT_EQ(srtp_crypto_policy_set_from_profile_for_rtcp(&Policy.rtcp, ProfileOf(Suite)), srtp_err_status_ok);
    Policy.ssrc.type = Sending ? ssrc_any_outbound : ssrc_any_inbound;
    Policy.key = FKey.data();
    Policy.window_size = 128;
    EXPECT_EQ(srtp_create(&FSession, &Policy), srtp_err_status_ok);
  }
  ~TLibSrtp() { srtp_dealloc(FSession); }
  TLibSrtp(const TLibSrtp&) = delete;
  TLibSrtp& operator=(const TLibSrtp&) = delete;

  Bytes Protect(Bytes P, bool Rtcp) {
    int Length = static_cast<int>(P.size());
    P.resize(P.size() + Room);
    const srtp_err_status_t Status =
        Rtcp ? srtp_protect_rtcp(FSession, P.data(), &Length) : srtp_protect(FSession, P.data(), &Length);
    EXPECT_EQ(Status, srtp_err_status_ok);
    P.resize(static_cast<size_t>(Length));
    return P;
  }
  // The plain packet, or nothing when libsrtp refuses it.
  std::optional<Bytes> Unprotect(Bytes P, bool Rtcp) {
    int Length = static_cast<int>(P.size());
    const srtp_err_status_t Status =
        Rtcp ? srtp_unprotect_rtcp(FSession, P.data(), &Length) : srtp_unprotect(FSession, P.data(), &Length);
    if (Status != srtp_err_status_ok) return std::nullopt;
    P.resize(static_cast<size_t>(Length));
    return P;
  }

private:
  Bytes FKey;
  srtp_t FSession = nullptr;
};

Bytes OurProtect(TSrtpSender& Sender, Bytes P, bool Rtcp) {
  const size_t Length = P.size();
  P.resize(Length + SrtpMaxOverhead);
  const size_t Protected =
      Rtcp ? Sender.ProtectRtcp(P.data(), Length, P.size()) : Sender.ProtectRtp(P.data(), Length, P.size());
  EXPECT_NE(Protected, 0u);
  P.resize(Protected);
  return P;
}

std::optional<Bytes> OurUnprotect(TSrtpReceiver& Receiver, Bytes P, bool Rtcp) {
  size_t Length = P.size();
  const V Verdict = Rtcp ? Receiver.UnprotectRtcp(P.data(), Length) : Receiver.UnprotectRtp(P.data(), Length);
  if (Verdict != V::Ok) return std::nullopt;
  P.resize(Length);
  return P;
}

// Random RTP packets of one SSRC from a sequence number 1500 before the wrap:
// payloads of 0 to 1000 bytes, now and then CSRCs or a header extension.
std::vector<Bytes> RandomRtp(std::mt19937& Random, size_t Count) {
  const uint32_t Ssrc = Random();
  std::vector<Bytes> Packets;
  for (size_t I = 0; I < Count; ++I) {
    const size_t Csrcs = Random() % 8 == 0 ? 1 + Random() % 3 : 0;
    const size_t Extension = Random() % 8 == 0 ? 4 + 4 * (Random() % 4) : 0;
    Bytes P(12 + 4 * Csrcs + Extension + Random() % 1001);
    for (uint8_t& B : P) B = static_cast<uint8_t>(Random());
    P[0] = static_cast<uint8_t>(0x80 | (Extension ? 0x10 : 0) | Csrcs);
    P[1] &= 0x7F;
    Platform::PutBE16(P.data() + 2, static_cast<uint16_t>(65536 - 1500 + I));
    Platform::PutBE32(P.data() + 8, Ssrc);
    if (Extension) Platform::PutBE16(P.data() + 12 + 4 * Csrcs + 2, static_cast<uint16_t>(Extension / 4 - 1));
    Packets.push_back(std::move(P));
  }
  return Packets;
}

// Random RTCP compound packets of one SSRC: 8 to 248 bytes.
std::vector<Bytes> RandomRtcp(std::mt19937& Random, size_t Count) {
  const uint32_t Ssrc = Random();
  std::vector<Bytes> Packets;
  for (size_t I = 0; I < Count; ++I) {
    Bytes P(8 + 4 * (Random() % 61));
    for (uint8_t& B : P) B = static_cast<uint8_t>(Random());
    P[0] = 0x80 | (P[0] & 0x1F);
    P[1] = static_cast<uint8_t>(200 + Random() % 5);
    Platform::PutBE16(P.data() + 2, static_cast<uint16_t>(P.size() / 4 - 1));
    Platform::PutBE32(P.data() + 4, Ssrc);
    Packets.push_back(std::move(P));
  }
  return Packets;
}

// The order of arrival: the first packet first, then each now and then
// overtaken by one of the next five.
std::vector<size_t> Reordered(std::mt19937& Random, size_t Count) {
  std::vector<size_t> Order(Count);
  for (size_t I = 0; I < Count; ++I) Order[I] = I;
  for (size_t I = 1; I + 1 < Count; ++I)
    if (Random() % 4 == 0) std::swap(Order[I], Order[std::min(Count - 1, I + 1 + Random() % 5)]);
  return Order;
}

Bytes Flipped(std::mt19937& Random, Bytes P) {
  P[Random() % P.size()] ^= static_cast<uint8_t>(1u << (Random() % 8));
  return P;
}

// One stream, protected by Sender, arrives reordered at our receiver and at
// libsrtp's: both give back every packet once and refuse forgeries and replays.
void Exchange(TSrtpSuite Suite, const Bytes& Key, bool Rtcp, bool OursSends, uint32_t Seed) {
  SCOPED_TRACE(testing::Message() << SrtpSuiteName(Suite) << (Rtcp ? " SRTCP" : " SRTP") << " sent by "
                                  << (OursSends ? "us" : "libsrtp2") << ", seed " << Seed);
  std::mt19937 Random(Seed);
  const std::vector<Bytes> Plain = Rtcp ? RandomRtcp(Random, 600) : RandomRtp(Random, 3000);
  TSrtpSender OurSender(TSrtpMasterKey(Suite, Key));
  TLibSrtp LibSender(Suite, Key, true);
  std::vector<Bytes> Sent;
  for (const Bytes& P : Plain) Sent.push_back(OursSends ? OurProtect(OurSender, P, Rtcp) : LibSender.Protect(P, Rtcp));

  TSrtpReceiver OurReceiver(TSrtpMasterKey(Suite, Key));
  TLibSrtp LibReceiver(Suite, Key, false);
  size_t Forged = 0, Replayed = 0;
  std::vector<size_t> Arrived;
  for (size_t I : Reordered(Random, Plain.size())) {
    if (Random() % 8 == 0) {
      const Bytes Forgery = Flipped(Random, Sent[I]);
      EXPECT_FALSE(LibReceiver.Unprotect(Forgery, Rtcp)) << "libsrtp2 took a forgery of packet " << I;
      EXPECT_FALSE(OurUnprotect(OurReceiver, Forgery, Rtcp)) << "we took a forgery of packet " << I;
      ++Forged;
    }
    const std::optional<Bytes> Lib = LibReceiver.Unprotect(Sent[I], Rtcp);
    const std::optional<Bytes> Ours = OurUnprotect(OurReceiver, Sent[I], Rtcp);
    ASSERT_TRUE(Lib) << "libsrtp2 refused packet " << I;
    ASSERT_TRUE(Ours) << "we refused packet " << I;
    EXPECT_EQ(*Lib, Plain[I]) << I;
    EXPECT_EQ(*Ours, Plain[I]) << I;
    Arrived.push_back(I);
    if (Random() % 16 == 0) {
      const size_t Again = Arrived[Arrived.size() - 1 - Random() % std::min<size_t>(Arrived.size(), 20)];
      EXPECT_FALSE(LibReceiver.Unprotect(Sent[Again], Rtcp)) << "libsrtp2 took packet " << Again << " twice";
      EXPECT_FALSE(OurUnprotect(OurReceiver, Sent[Again], Rtcp)) << "we took packet " << Again << " twice";
      ++Replayed;
    }
  }
  EXPECT_GT(Forged, Plain.size() / 16);
  EXPECT_GT(Replayed, Plain.size() / 32);
}

Bytes RandomKey(TSrtpSuite Suite, uint32_t Seed) {
  std::mt19937 Random(Seed);
  Bytes Key(SrtpMasterKeyBytes(Suite) + SrtpMasterSaltBytes(Suite));
  for (uint8_t& B : Key) B = static_cast<uint8_t>(Random());
  return Key;
}

TEST(SrtpLibsrtp, RtpBothWaysEverySuite) {
  for (TSrtpSuite Suite : AllSuites)
    for (bool OursSends : {true, false}) {
      const uint32_t Seed = 1000 + static_cast<uint32_t>(Suite) * 2 + OursSends;
      Exchange(Suite, RandomKey(Suite, Seed), false, OursSends, Seed);
    }
}

TEST(SrtpLibsrtp, RtcpBothWaysEverySuite) {
  for (TSrtpSuite Suite : AllSuites)
    for (bool OursSends : {true, false}) {
      const uint32_t Seed = 2000 + static_cast<uint32_t>(Suite) * 2 + OursSends;
      Exchange(Suite, RandomKey(Suite, Seed), true, OursSends, Seed);
    }
}

TEST(SrtpLibsrtp, ShortTagSuiteGivesSrtcpTheFullTag) {
  // libsrtp2's policy for the AES_CM_128_HMAC_SHA1_32 profile: 4 bytes of tag
  // on SRTP, 10 on SRTCP; ours adds the same.
  const TSrtpSuite Suite = TSrtpSuite::AesCm128HmacSha1_32;
  const Bytes Key = RandomKey(Suite, 7);
  TLibSrtp Lib(Suite, Key, true);
  TSrtpSender Ours(TSrtpMasterKey(Suite, Key));
  const Bytes Rtp = SrtpTest::RtpPacket(1, 1);
  const Bytes Rtcp = SrtpTest::Hex("80c80006 00000001 0000000000000000 0000000000000000 00000000");
  EXPECT_EQ(Lib.Protect(Rtp, false).size(), Rtp.size() + 4);
  EXPECT_EQ(Lib.Protect(Rtcp, true).size(), Rtcp.size() + 4 + 10);
  EXPECT_EQ(OurProtect(Ours, Rtp, false).size(), Rtp.size() + 4);
  EXPECT_EQ(OurProtect(Ours, Rtcp, true).size(), Rtcp.size() + 4 + 10);
}

}  // namespace
