// The published answers: RFC 3711 Appendix B (the AES-CM keystream and the key
// derivation), RFC 7714's AES-GCM packets (sections 16 and 17), RFC 2202's
// HMAC-SHA1, and AES-CM packets as libsrtp2 makes them, each made byte for
// byte by the system's cryptography (OpenSSL, or CNG under Windows).
#include <gtest/gtest.h>

#include <array>
#include <string_view>
#include <vector>

#include "srtp/srtp_stream.h"
#include "srtp_test_support.h"

namespace {

using SrtpTest::Hex;

void Fill(std::span<uint8_t> Out, const std::vector<uint8_t>& Bytes) {
  ASSERT_EQ(Out.size(), Bytes.size());
  std::copy(Bytes.begin(), Bytes.end(), Out.begin());
}

TEST(SrtpKnownAnswer, AesCmKeystreamOfAppendixB2) {
  // Session key and salt of B.2, SSRC, ROC and SEQ 0: encrypting zeros lays
  // the keystream bare, block by block, up to counter 0xFF01.
  TSrtpSessionKeys Keys;
  Fill(Keys.Cipher, Hex("2B7E151628AED2A6ABF7158809CF4F3C"));
  Fill(Keys.Salt, Hex("F0F1F2F3F4F5F6F7F8F9FAFBFCFD"));
  TSrtpStreamKeys Stream(TSrtpSuite::AesCm128HmacSha1_80, TSrtpStreamKind::Rtp, Keys, false);
  const size_t Blocks = 0xFF02;
  std::vector<uint8_t> Packet(12 + Blocks * 16 + Stream.Overhead());
  Packet[0] = 0x80;
  ASSERT_EQ(Stream.ProtectRtp(Packet.data(), 12, 12 + Blocks * 16, 0), Packet.size());
  const auto Block = [&](size_t Counter) {
    return std::vector<uint8_t>(Packet.begin() + 12 + Counter * 16, Packet.begin() + 12 + Counter * 16 + 16);
  };
  EXPECT_EQ(Block(0x0000), Hex("E03EAD0935C95E80E166B16DD92B4EB4"));
  EXPECT_EQ(Block(0x0001), Hex("D23513162B02D0F72A43A2FE4A5F97AB"));
  EXPECT_EQ(Block(0x0002), Hex("41E95B3BB0A2E8DD477901E4FCA894C0"));
  EXPECT_EQ(Block(0xFEFF), Hex("EC8CDF7398607CB0F2D21675EA9EA1E4"));
  EXPECT_EQ(Block(0xFF00), Hex("362B7C3C6773516318A077D7FC5073AE"));
  EXPECT_EQ(Block(0xFF01), Hex("6A2CC3787889374FBEB4C81B17BA6C44"));
}

TEST(SrtpKnownAnswer, KeyDerivationOfAppendixB3) {
  const std::vector<uint8_t> MasterKey = Hex("E1F97A0D3E018BE0D64FA32C06DE4139");
  const std::vector<uint8_t> MasterSalt = Hex("0EC675AD498AFEEBB6960B3AABE6");
  Platform::TAes128 Master(std::span<const uint8_t, 16>(MasterKey.data(), 16));
  // The PRF's whole output for the authentication key as the appendix lists it.
  std::vector<uint8_t> Auth(94);
  ASSERT_TRUE(SrtpDeriveKey(Master, MasterSalt, 1, Auth));
  EXPECT_EQ(Auth, Hex("CEBE321F6FF7716B6FD4AB49AF256A15 6D38BAA48F0A0ACF3C34E2359E6CDBCE"
                      "E049646C43D9327AD175578EF7227098 6371C10C9A369AC2F94A8C5FBCDDDC25"
                      "6D6E919A48B610EF17C2041E47403576 6B68642C59BBFC2F34DB60DBDFB2"));

  // The session keys of SRTP as the sender and the receiver derive them.
  std::vector<uint8_t> KeyAndSalt = MasterKey;
  KeyAndSalt.insert(KeyAndSalt.end(), MasterSalt.begin(), MasterSalt.end());
  TSrtpSessionKeys Keys;
  SrtpDeriveSessionKeys(TSrtpMasterKey(TSrtpSuite::AesCm128HmacSha1_80, KeyAndSalt), TSrtpStreamKind::Rtp, Keys);
  EXPECT_EQ(std::vector<uint8_t>(Keys.Cipher.begin(), Keys.Cipher.end()), Hex("C61E7A93744F39EE10734AFE3FF7A087"));
  EXPECT_EQ(std::vector<uint8_t>(Keys.Salt.begin(), Keys.Salt.end()), Hex("30CBBC08863D8C85D49DB34A9AE1"));
  EXPECT_EQ(std::vector<uint8_t>(Keys.Auth.begin(), Keys.Auth.end()), Hex("CEBE321F6FF7716B6FD4AB49AF256A156D38BAA4"));
}

// RFC 7714's examples give the session key and salt themselves.
class SrtpGcmKnownAnswer : public ::testing::Test {
protected:
  SrtpGcmKnownAnswer() {
    Fill(Keys.Cipher, Hex("000102030405060708090a0b0c0d0e0f"));
    Fill(std::span(Keys.Salt).first(12), Hex("517569642070726f2071756f"));
  }
  TSrtpSessionKeys Keys;
};

TEST_F(SrtpGcmKnownAnswer, RtpOfSection16) {
  // "Gallia est omnis divisa in partes tres" behind a 12-byte header, ROC 0.
  const std::vector<uint8_t> Plain =
      Hex("8040f17b8041f8d35501a0b2 47616c6c696120657374206f6d6e69732064697669736120696e207061727465732074726573");
  const std::vector<uint8_t> Protected =
      Hex("8040f17b8041f8d35501a0b2 f24de3a3fb34de6cacba861c9d7e4bcabe633bd50d294e6f42a5f47a51c7d19b36de3adf8833"
          "899d7f27beb16a9152cf765ee4390cce");
  TSrtpStreamKeys Sender(TSrtpSuite::AeadAes128Gcm, TSrtpStreamKind::Rtp, Keys, false);
  std::vector<uint8_t> P(Plain.size() + Sender.Overhead());
  std::copy(Plain.begin(), Plain.end(), P.begin());
  ASSERT_EQ(Sender.ProtectRtp(P.data(), 12, Plain.size(), 0), Protected.size());
  EXPECT_EQ(P, Protected);

  TSrtpStreamKeys Receiver(TSrtpSuite::AeadAes128Gcm, TSrtpStreamKind::Rtp, Keys, true);
  size_t Length = P.size();
  ASSERT_TRUE(Receiver.UnprotectRtp(P.data(), 12, Length, 0));
  P.resize(Length);
  EXPECT_EQ(P, Plain);
}

TEST_F(SrtpGcmKnownAnswer, RtcpOfSection17) {
  const std::vector<uint8_t> Plain =
      Hex("81c8000d4d617273 4e5450314e545032525450200000042a0000e9304c756e61deadbeefdeadbeefdeadbeefdeadbeefdeadbeef");
  // 17.1: encrypted, the tag, then E and the SRTCP index 0x5d4.
  const std::vector<uint8_t> Protected =
      Hex("81c8000d4d617273 63e94885dcdab67ca727d7662f6b7e997ff5c0f76c06f32dc676a5f1730d6fda4ce09b4686303ded0bb9275b"
          "c84aa45896cf4d2fc5abf87245d9eade 800005d4");
  // 17.3: the same packet only authenticated (E clear).
  const std::vector<uint8_t> TagOnly =
      Hex("81c8000d4d617273 4e5450314e545032525450200000042a0000e9304c756e61deadbeefdeadbeefdeadbeefdeadbeefdeadbeef"
          "841dd9683dd78ec92ae58790125f62b3 000005d4");
  TSrtpStreamKeys Sender(TSrtpSuite::AeadAes128Gcm, TSrtpStreamKind::Rtcp, Keys, false);
  std::vector<uint8_t> P(Plain.size() + Sender.Overhead());
  std::copy(Plain.begin(), Plain.end(), P.begin());
  ASSERT_EQ(Sender.ProtectRtcp(P.data(), Plain.size(), 0x5d4), Protected.size());
  EXPECT_EQ(P, Protected);

  TSrtpStreamKeys Receiver(TSrtpSuite::AeadAes128Gcm, TSrtpStreamKind::Rtcp, Keys, true);
  for (const std::vector<uint8_t>* Sent : {&Protected, &TagOnly}) {
    P = *Sent;
    size_t Length = P.size();
    EXPECT_EQ(Receiver.RtcpIndexWord(P.data(), Length) & SrtcpMaxIndex, 0x5d4u);
    ASSERT_TRUE(Receiver.UnprotectRtcp(P.data(), Length));
    P.resize(Length);
    EXPECT_EQ(P, Plain);
  }
}

TEST(SrtpKnownAnswer, HmacSha1OfRfc2202OverManyMessages) {
  // One keyed object for every packet: each message, in pieces or whole, must
  // come out as if it were the first.
  const std::vector<uint8_t> Key(20, 0x0b);
  Platform::THmacSha1 Mac(Key);
  const std::string_view Text = "Hi There";
  const auto* Bytes = reinterpret_cast<const uint8_t*>(Text.data());
  for (size_t Split : {size_t{0}, size_t{3}, Text.size()}) {
    std::array<uint8_t, Platform::Sha1Bytes> Out{};
    ASSERT_TRUE(Mac.Update(Bytes, Split));
    ASSERT_TRUE(Mac.Update(Bytes + Split, Text.size() - Split));
    ASSERT_TRUE(Mac.Final(Out));
    EXPECT_EQ(std::vector<uint8_t>(Out.begin(), Out.end()), Hex("b617318655057264e28bc0b6fb378c8ef146be00"));
  }
  const std::string_view Jefe = "Jefe", Question = "what do ya want for nothing?";
  Platform::THmacSha1 Short(std::span(reinterpret_cast<const uint8_t*>(Jefe.data()), Jefe.size()));
  std::array<uint8_t, Platform::Sha1Bytes> Out{};
  ASSERT_TRUE(Short.Update(reinterpret_cast<const uint8_t*>(Question.data()), Question.size()));
  ASSERT_TRUE(Short.Final(Out));
  EXPECT_EQ(std::vector<uint8_t>(Out.begin(), Out.end()), Hex("effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"));
}

TEST(SrtpKnownAnswer, AesCmPacketsAsLibsrtp2MakesThem) {
  // Made once by libsrtp2 2.5 with the master key a0 a1 ... bd: the first
  // packet of a stream at 0xfffe, the packet at 0x0001 after the wrap (ROC
  // 1), and an empty receiver report with SRTCP index 1.
  std::vector<uint8_t> KeyAndSalt(30);
  for (size_t I = 0; I < KeyAndSalt.size(); ++I) KeyAndSalt[I] = static_cast<uint8_t>(0xA0 + I);
  struct TCase {
    TSrtpSuite Suite;
    std::string_view First, AfterWrap, Report;
  } Cases[] = {
      {TSrtpSuite::AesCm128HmacSha1_80,
       "8008fffe00001234deadbeef e7bc44673cc20f08d2f2e2a409ebaea6bd20d727 2ea069162b7dcf1389b2",
       "8008000100001234deadbeef 23b8cc26965e9f0780e55e99a364e0d98e127b2b 8de64bb964018c5c61b8",
       "80c90001deadbeef 80000001 829b15cee8e4b0b7d949"},
      {TSrtpSuite::AesCm128HmacSha1_32,
       "8008fffe00001234deadbeef e7bc44673cc20f08d2f2e2a409ebaea6bd20d727 2ea06916",
       "8008000100001234deadbeef 23b8cc26965e9f0780e55e99a364e0d98e127b2b 8de64bb9",
       "80c90001deadbeef 80000001 829b15cee8e4b0b7d949"},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(SrtpSuiteName(Case.Suite));
    TSrtpSender Sender(TSrtpMasterKey(Case.Suite, KeyAndSalt));
    const auto Protect = [&](uint16_t Seq) {
      std::vector<uint8_t> P = Hex("8008000000001234deadbeef");
      Platform::PutBE16(P.data() + 2, Seq);
      for (uint8_t I = 0; I < 20; ++I) P.push_back(0xd5 ^ I);
      const size_t Length = P.size();
      P.resize(Length + SrtpMaxOverhead);
      P.resize(Sender.ProtectRtp(P.data(), Length, P.size()));
      return P;
    };
    EXPECT_EQ(Protect(0xfffe), Hex(Case.First));
    Protect(0xffff);
    Protect(0x0000);
    EXPECT_EQ(Protect(0x0001), Hex(Case.AfterWrap));
    // Our first SRTCP index is 0 (RFC 3711 3.4), libsrtp2's 1: the second report compares.
    std::vector<uint8_t> R;
    for (int N = 0; N < 2; ++N) {
      R = Hex("80c90001deadbeef");
      R.resize(8 + SrtpMaxOverhead);
      R.resize(Sender.ProtectRtcp(R.data(), 8, R.size()));
    }
    EXPECT_EQ(R, Hex(Case.Report));
  }
}

}  // namespace
