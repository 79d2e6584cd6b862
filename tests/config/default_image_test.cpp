// The default configuration image: its exact line structure, and that the
// executable carries exactly the bytes of the repository's file.

#include <gtest/gtest.h>

#include "platform/resources.h"
#include "test_support.h"

namespace {

using TestSupport::SplitCrLf;

// "; значение по умолчанию: " in code page 1251.
const std::string DefaultLine =
    "; \xE7\xED\xE0\xF7\xE5\xED\xE8\xE5 \xEF\xEE \xF3\xEC\xEE\xEB\xF7\xE0\xED\xE8\xFE: ";

const std::vector<std::vector<std::string>> GroupKeys = {
    {"DoLog=5"},
    {"SaveWavData=0"},
    {"LocalIP=0.0.0.0", "LocalPort=50000"},
    {"RemoteIP=192.168.1.250", "RemotePort=50000"},
    {"TCPServerListenIP=0.0.0.0", "TCPServerListenPort=25003"},
    {"StartAsClient=0"},
    {"DisconnectTimeOut=2000"},
    {"PayloadType=8"},
    {"RTPVersion=2"},
    {"RtpBufSizeMultiple=1"},
    {"ReceivePayloadTime=20"},
    {"ReceiveBufCount=3"},
    {"SendPayloadTime=20"},
    {"SendBufCount=5"},
    {"PlayDeviceID=Plantronics Blackwire C210|Sennheiser USB headset|Logitech USB Headset|USB VoIP Device",
     ";PlayDeviceID=NVIDIA(R) nForce(TM) Audio|Plantronics Blackwire C210|Sennheiser USB headset|"
     "Logitech USB Headset|USB VoIP Device"},
    {";RecDeviceID=NVIDIA(R) nForce(TM) Audio|Plantronics Blackwire C210|Sennheiser USB headset|"
     "Logitech USB Headset|USB VoIP Device",
     "RecDeviceID=Plantronics Blackwire C210|Sennheiser USB headset|Logitech USB Headset|USB VoIP Device"},
    {"NeedMeasure=0"},
};

const std::vector<std::string> GroupDefaults = {
    "0", "0", "0.0.0.0:30000", "192.168.1.254:30000;", "0.0.0.0:25003", "0", "2000", "8", "2",
    "1", "20", "3", "20", "5", "0", "0", "0 (\xE2\xFB\xEA\xEB\xFE\xF7\xE5\xED)"};

std::string Image() {
  std::string Bytes;
  EXPECT_TRUE(Platform::LoadResourceBytes("Brenvic_ini", "CFGFILE", Bytes));
  return Bytes;
}

TEST(DefaultImage, CarriedBytesEqualTheRepositoryFile) {
  const std::string Carried = Image();
  const std::string File = TestSupport::ReadFile(BRENVIC_SOURCE_DIR "/src/config/Brenvic.ini");
  ASSERT_FALSE(File.empty());
  EXPECT_EQ(Carried, File);
  std::string Upper;
  EXPECT_TRUE(Platform::LoadResourceBytes("BRENVIC_INI", "CFGFILE", Upper));
  EXPECT_EQ(Upper, Carried);
  std::string None;
  EXPECT_FALSE(Platform::LoadResourceBytes("Other_ini", "CFGFILE", None));
}

TEST(DefaultImage, LineStructure) {
  const std::string Bytes = Image();
  ASSERT_GE(Bytes.size(), 2u);
  EXPECT_NE(Bytes.substr(Bytes.size() - 2), "\r\n") << "no line end after the last line";
  for (size_t I = 0; I < Bytes.size(); ++I) {
    if (Bytes[I] == '\n') {
      EXPECT_TRUE(I > 0 && Bytes[I - 1] == '\r') << "bare LF at " << I;
    }
    if (Bytes[I] == '\r') {
      EXPECT_TRUE(I + 1 < Bytes.size() && Bytes[I + 1] == '\n') << "bare CR at " << I;
    }
  }
  EXPECT_EQ(Bytes.find("MaxRecvSequenceNumberInterval"), std::string::npos);

  const std::vector<std::string> Lines = SplitCrLf(Bytes);
  ASSERT_FALSE(Lines.empty());
  EXPECT_EQ(Lines[0], "[Options]");
  size_t L = 1;
  for (size_t G = 0; G < GroupKeys.size(); ++G) {
    SCOPED_TRACE("group " + std::to_string(G + 1));
    // One or more comment lines, the last of which states the default.
    size_t Comments = 0;
    while (L < Lines.size() && Lines[L].rfind("; ", 0) == 0) {
      ++Comments;
      ++L;
    }
    ASSERT_GE(Comments, 1u);
    EXPECT_EQ(Lines[L - 1], DefaultLine + GroupDefaults[G]);
    for (const std::string& Key : GroupKeys[G]) {
      ASSERT_LT(L, Lines.size());
      EXPECT_EQ(Lines[L++], Key);
    }
    if (G + 1 < GroupKeys.size()) {
      ASSERT_LT(L, Lines.size());
      EXPECT_EQ(Lines[L++], "");
    }
  }
  EXPECT_EQ(L, Lines.size()) << "nothing after the last group";
}

TEST(DefaultImage, IsSingleByteTextNotUtf8) {
  const std::string Bytes = Image();
  // UTF-8 Cyrillic would begin with 0xD0/0xD1 lead bytes followed by 0x80..0xBF.
  for (size_t I = 0; I + 1 < Bytes.size(); ++I) {
    const unsigned char A = Bytes[I], B = Bytes[I + 1];
    EXPECT_FALSE((A == 0xD0 || A == 0xD1) && B >= 0x80 && B <= 0xBF) << "UTF-8 sequence at " << I;
  }
}

}  // namespace
