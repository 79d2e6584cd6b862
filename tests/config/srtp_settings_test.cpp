#include "config/srtp_settings.h"

#include <gtest/gtest.h>

#include <vector>

#include "config/ini_file.h"
#include "config/start_values.h"
#include "platform/text.h"
#include "test_support.h"

namespace {

// 30 bytes 0x00..0x1D and 28 bytes 0x40..0x5B, and their base64.
const std::string Key30 = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwd";
const std::string Key28 = "QEFCQ0RFRkdISUpLTE1OT1BRUlNUVVZXWFlaWw==";
const std::string Other30 = "ICEiIyQlJicoKSorLC0uLzAxMjM0NTY3ODk6Ozw9";

std::vector<uint8_t> Bytes(const std::string& Base64) {
  std::vector<uint8_t> B;
  EXPECT_TRUE(Platform::DecodeBase64(Base64, B));
  return B;
}

std::vector<uint8_t> KeyAndSalt(const TSrtpMasterKey& K) {
  std::vector<uint8_t> B(K.Key().begin(), K.Key().end());
  B.insert(B.end(), K.Salt().begin(), K.Salt().end());
  return B;
}

TEST(Base64, DecodesStrictlyAsKeysAreWritten) {
  // RFC 4648's own examples.
  const std::pair<const char*, const char*> Good[] = {
      {"", ""}, {"Zg==", "f"}, {"Zm8=", "fo"}, {"Zm9v", "foo"}, {"Zm9vYg==", "foob"}, {"Zm9vYmE=", "fooba"},
      {"Zm9vYmFy", "foobar"}, {"+/+/", "\xFB\xFF\xBF"}};
  for (const auto& [Text, Plain] : Good) {
    std::vector<uint8_t> B;
    EXPECT_TRUE(Platform::DecodeBase64(Text, B)) << Text;
    EXPECT_EQ(std::string(B.begin(), B.end()), Plain) << Text;
  }
  // Short of a group, padding inside or too much of it, letters of another
  // alphabet (URL-safe), blanks, and unused bits that are not zero ("Zh==" would
  // be "f" too if they were ignored: two texts for one key).
  for (const char* Bad : {"Zg", "Zg=", "Zg=A", "Z===", "====", "Zm9v====", "Zm-_", "Zm9 v", "Zm9v\n", "Zh==", "Zm9=",
                          "Zg==Zg=="}) {
    std::vector<uint8_t> B{1};
    EXPECT_FALSE(Platform::DecodeBase64(Bad, B)) << Bad;
    EXPECT_TRUE(B.empty()) << Bad;
  }
}

TEST(SrtpSettings, NoSectionIsPlainRtpAndASectionTakesItsKeys) {
  const TSrtpSettings None = ReadSrtpSettings(TIniFile::FromText("[Options]\r\nLocalPort=1\r\n"), "");
  EXPECT_FALSE(None.On);
  EXPECT_TRUE(None.Refusals.empty());
  EXPECT_FALSE(None.SendKey);

  struct TCase {
    std::string Text;
    TSrtpSuite Suite;
    bool Required;
    std::string Send, Receive;
  };
  const TCase Cases[] = {
      {"[Srtp]\r\nSendKey=inline:" + Key30 + "\r\nReceiveKey=inline:" + Other30 + "\r\n",
       TSrtpSuite::AesCm128HmacSha1_80, true, Key30, Other30},
      {"[srtp]\r\nsuite = AES_CM_128_HMAC_SHA1_32\r\nsendkey=\"INLINE:" + Other30 + "\"\r\nReceiveKey=inline:" + Key30 +
           "\r\nRequired=0\r\n",
       TSrtpSuite::AesCm128HmacSha1_32, false, Other30, Key30},
      {"[Srtp]\r\nSuite=AEAD_AES_128_GCM\r\nSendKey=inline:" + Key28 + "\r\nReceiveKey=inline:" + Key28 +
           "\r\nRequired=5\r\n",
       TSrtpSuite::AeadAes128Gcm, true, Key28, Key28},
      {"[Srtp]\r\nSendKey=inline:" + Key30 + "\r\nReceiveKey=inline:" + Key30 + "\r\nRequired=\r\n",
       TSrtpSuite::AesCm128HmacSha1_80, true, Key30, Key30},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Text);
    const TSrtpSettings S = ReadSrtpSettings(TIniFile::FromText(C.Text), "");
    EXPECT_TRUE(S.On);
    EXPECT_EQ(S.Refusals, std::vector<std::string>{});
    EXPECT_EQ(S.Suite, C.Suite);
    EXPECT_EQ(S.Required, C.Required);
    ASSERT_TRUE(S.SendKey && S.ReceiveKey);
    EXPECT_EQ(S.SendKey->Suite(), C.Suite);
    EXPECT_EQ(KeyAndSalt(*S.SendKey), Bytes(C.Send));
    EXPECT_EQ(KeyAndSalt(*S.ReceiveKey), Bytes(C.Receive));
  }
}

// Every refusal names the key, never its value: the value's base64 (or a good
// part of it) must not be in any line.
void ExpectNoKeyIn(const std::vector<std::string>& Lines, const std::string& Text) {
  for (const std::string& Line : Lines)
    for (const std::string& Secret : {Key30, Key28, Other30, Key30.substr(0, 12), Key28.substr(0, 12),
                                      Other30.substr(0, 12), std::string("Zm9vYmFyYmF6")})
      EXPECT_EQ(Line.find(Secret), std::string::npos) << Line << " (from " << Text << ")";
}

TEST(SrtpSettings, EveryBadInputIsARefusalThatNamesTheKeyNeverItsValue) {
  const std::string Both = "\r\nReceiveKey=inline:" + Other30 + "\r\n";
  const struct {
    std::string Text;
    std::vector<std::string> Lines;
  } Cases[] = {
      {"[Srtp]\r\n",
       {"Error: [Srtp] SendKey: missing, set SendKey and ReceiveKey, or KeyFile",
        "Error: [Srtp] ReceiveKey: missing, set SendKey and ReceiveKey, or KeyFile"}},
      {"[Srtp]\r\nSendKey=inline:" + Key30 + "\r\n",
       {"Error: [Srtp] ReceiveKey: missing, set SendKey and ReceiveKey, or KeyFile"}},
      {"[Srtp]\r\nSendKey=inline:" + Key28 + Both,
       {"Error: [Srtp] SendKey: 28 bytes, AES_CM_128_HMAC_SHA1_80 takes 30 (16 of key, 14 of salt)"}},
      {"[Srtp]\r\nSuite=AEAD_AES_128_GCM\r\nSendKey=inline:" + Key28 + Both,
       {"Error: [Srtp] ReceiveKey: 30 bytes, AEAD_AES_128_GCM takes 28 (16 of key, 12 of salt)"}},
      {"[Srtp]\r\nSendKey=inline:" + Key30 + "Zm9vYmFyYmF6" + Both,
       {"Error: [Srtp] SendKey: 39 bytes, AES_CM_128_HMAC_SHA1_80 takes 30 (16 of key, 14 of salt)"}},
      {"[Srtp]\r\nSendKey=inline:" + Key30.substr(0, 39) + "!" + Both, {"Error: [Srtp] SendKey: not base64"}},
      {"[Srtp]\r\nSendKey=inline:" + Key30.substr(0, 38) + Both, {"Error: [Srtp] SendKey: not base64"}},
      {"[Srtp]\r\nSendKey=" + Key30 + Both, {"Error: [Srtp] SendKey: not of the form inline:BASE64"}},
      {"[Srtp]\r\nSendKey=inline:" + Key30 + "|2^31|1:4" + Both,
       {"Error: [Srtp] SendKey: a lifetime or MKI after \"|\" is not supported"}},
      {"[Srtp]\r\nSuite=AES_CM_128_HMAC_SHA1_80 \r\nSuite=x\r\nSendKey=inline:" + Key30 + Both, {}},  // trimmed; the first wins
      {"[Srtp]\r\nSuite=aes_cm_128_hmac_sha1_80\r\nSendKey=inline:" + Key30 + Both,
       {"Error: [Srtp] Suite=aes_cm_128_hmac_sha1_80: not a suite (AES_CM_128_HMAC_SHA1_80, AES_CM_128_HMAC_SHA1_32 or "
        "AEAD_AES_128_GCM)"}},
      {"[Srtp]\r\nRequired=yes\r\nSendKey=inline:" + Key30 + Both,
       {"Error: [Srtp] Required=yes: not a number, 1 (only SRTP) or 0 (plain RTP too)"}},
      {"[Srtp]\r\nKeyFile=missing.key\r\nSendKey=inline:" + Key30 + "\r\n",
       {"Error: [Srtp] KeyFile=missing.key: SendKey or ReceiveKey is set in [Srtp] too, keep the keys in one place"}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Text);
    const TSrtpSettings S = ReadSrtpSettings(TIniFile::FromText(C.Text), "");
    EXPECT_TRUE(S.On);
    EXPECT_EQ(S.Refusals, C.Lines);
    if (!C.Lines.empty()) {
      EXPECT_FALSE(S.SendKey || S.ReceiveKey) << "no key at all after a refusal";
    }
    ExpectNoKeyIn(S.Refusals, C.Text);
  }
}

TEST(SrtpSettings, KeyFileHoldsTheTwoLinesAndIsRefusedWhenItCannotServe) {
  TestSupport::TTempDir Dir;
  const std::string Lines = "; made on the desk\r\nSendKey=inline:" + Key30 + "\r\nReceiveKey=inline:" + Other30 + "\r\n";
  TestSupport::WriteFile(Dir.Path() / "srtp.key", Lines);
  // Relative to the INI file's folder, or absolute; a UTF-8 mark is skipped.
  TestSupport::WriteFile(Dir.Path() / "bom.key", "\xEF\xBB\xBF" + Lines);
  for (const std::string& Name : {std::string("srtp.key"), (Dir.Path() / "srtp.key").string(), std::string("bom.key")}) {
    SCOPED_TRACE(Name);
    const TSrtpSettings S = ReadSrtpSettings(TIniFile::FromText("[Srtp]\r\nKeyFile=" + Name + "\r\n"), Dir.Dir());
    EXPECT_EQ(S.Refusals, std::vector<std::string>{});
    ASSERT_TRUE(S.SendKey && S.ReceiveKey);
    EXPECT_EQ(KeyAndSalt(*S.SendKey), Bytes(Key30));
    EXPECT_EQ(KeyAndSalt(*S.ReceiveKey), Bytes(Other30));
  }

  std::string Utf16 = "\xFF\xFE";
  for (const char Ch : Lines) Utf16 += std::string{Ch, '\0'};
  TestSupport::WriteFile(Dir.Path() / "utf16.key", Utf16);
  TestSupport::WriteFile(Dir.Path() / "one.key", "SendKey=inline:" + Key30 + "\r\n");
  TestSupport::WriteFile(Dir.Path() / "short.key", "SendKey=inline:" + Key30 + "\r\nReceiveKey=inline:" + Key28 + "\r\n");
  const std::string Missing = "missing, the file holds the lines SendKey=inline:... and ReceiveKey=inline:...";
  const struct {
    const char* File;
    std::vector<std::string> Lines;
  } Cases[] = {
      {"nowhere.key", {"Error: [Srtp] KeyFile=nowhere.key: cannot be read"}},
      {"utf16.key", {"Error: [Srtp] KeyFile=utf16.key: UTF-16 text, save it as ANSI or UTF-8"}},
      {"one.key", {"Error: [Srtp] KeyFile=one.key: ReceiveKey: " + Missing}},
      {"short.key",
       {"Error: [Srtp] KeyFile=short.key: ReceiveKey: 28 bytes, AES_CM_128_HMAC_SHA1_80 takes 30 (16 of key, 14 of salt)"}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.File);
    const TSrtpSettings S =
        ReadSrtpSettings(TIniFile::FromText(std::string("[Srtp]\r\nKeyFile=") + C.File + "\r\n"), Dir.Dir());
    EXPECT_EQ(S.Refusals, C.Lines);
    EXPECT_FALSE(S.SendKey || S.ReceiveKey);
    ExpectNoKeyIn(S.Refusals, C.File);
  }
}

TEST(SrtpSettings, RefusalsRefuseTheStartAndAResetForgetsTheKeys) {
  TestSupport::TTempDir Dir;
  const auto Ini = Dir.Path() / "Brenvic.ini";
  TestSupport::WriteFile(Ini, "[Options]\r\nDoLog=0\r\n[Srtp]\r\nSendKey=inline:" + Key30 + "\r\n");
  LoadStartValuesFrom(Dir.Dir(), Ini.string());
  EXPECT_TRUE(StartValues.Srtp.On);
  const TStartValueReport R = CheckStartValues(172, 4096);
  EXPECT_EQ(R.Refusals,
            std::vector<std::string>{"Error: [Srtp] ReceiveKey: missing, set SendKey and ReceiveKey, or KeyFile"});
  // The packets of another RTP version could not be protected: a mute bridge.
  TestSupport::WriteFile(Ini, "[Options]\r\nRTPVersion=3\r\n[Srtp]\r\nSendKey=inline:" + Key30 +
                                  "\r\nReceiveKey=inline:" + Key30 + "\r\n");
  LoadStartValuesFrom(Dir.Dir(), Ini.string());
  EXPECT_EQ(CheckStartValues(172, 4096).Refusals,
            std::vector<std::string>{"Error: RTPVersion=3: SRTP protects RTP version 2 only, nothing would be sent"});
  ResetStartValues();
  EXPECT_FALSE(StartValues.Srtp.On);
  EXPECT_TRUE(CheckStartValues(172, 4096).Refusals.empty());
}

}  // namespace
