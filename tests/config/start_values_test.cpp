#include "config/start_values.h"

#include <gtest/gtest.h>

#include "platform/resources.h"
#include "test_support.h"

namespace {

using TestSupport::ReadFile;
using TestSupport::TTempDir;
using TestSupport::WriteFile;

class StartValuesFile : public ::testing::Test {
protected:
  void SetUp() override { ResetStartValues(); }
  void TearDown() override { ResetStartValues(); }

  // Loads with a configuration file of this content (none when Content is null).
  void LoadWith(const char* Content, const std::string& ConfigName = "Brenvic.ini") {
    if (Content) WriteFile(Dir.Path() / ConfigName, Content);
    LoadStartValuesFrom(Dir.Dir(), (Dir.Path() / ConfigName).string());
  }

  // What the start would be told, with the default packets of 172 bytes.
  static std::vector<std::string> Warnings(uint32_t SendPacketBytes = 172) {
    return CheckStartValues(SendPacketBytes, 4096).Warnings;
  }
  static std::vector<std::string> Refusals(uint32_t SendPacketBytes = 172) {
    return CheckStartValues(SendPacketBytes, 4096).Refusals;
  }

  TTempDir Dir;
};

TEST_F(StartValuesFile, BuiltInDefaults) {
  EXPECT_FALSE(DoLog);
  EXPECT_FALSE(::StartValues.SaveWavData);
  EXPECT_EQ(::StartValues.LocalIP, "0.0.0.0");
  EXPECT_EQ(::StartValues.LocalPort, 30000);
  EXPECT_EQ(::StartValues.RemoteIP, "192.168.1.254");
  EXPECT_EQ(::StartValues.RemotePort, 30000);
  EXPECT_EQ(::StartValues.TCPServerListenIP, "0.0.0.0");
  EXPECT_EQ(::StartValues.TCPServerListenPort, 25003);
  EXPECT_FALSE(::StartValues.StartAsClient);
  EXPECT_EQ(::StartValues.DisconnectTimeOut, 2000);
  EXPECT_EQ(::StartValues.PayloadType, 8);
  EXPECT_EQ(::StartValues.RTPVersion, 2);
  EXPECT_EQ(::StartValues.RtpBufSizeMultiple, 1);
  EXPECT_EQ(::StartValues.ReceivePayloadTime, 20);
  EXPECT_EQ(::StartValues.ReceiveBufCount, 3);
  EXPECT_EQ(::StartValues.SendPayloadTime, 20);
  EXPECT_EQ(::StartValues.SendBufCount, 5);
  EXPECT_EQ(::StartValues.RecDeviceID, "");
  EXPECT_EQ(::StartValues.PlayDeviceID, "");
  EXPECT_FALSE(::StartValues.NeedMeasure);
  EXPECT_EQ(::StartValues.MaxRecvSequenceNumberInterval, 100);
  ASSERT_EQ(DefaultConfigFiles.size(), 1u);
  EXPECT_EQ(DefaultConfigFiles[0], "Brenvic.ini");
}

TEST_F(StartValuesFile, FirstStartWritesTheImageAndItsValuesAreInForce) {
  LoadWith(nullptr);
  std::string Image;
  ASSERT_TRUE(Platform::LoadResourceBytes("BRENVIC_INI", "CFGFILE", Image));
  EXPECT_EQ(ReadFile(Dir.Path() / "Brenvic.ini"), Image);
  EXPECT_TRUE(DoLog);
  EXPECT_EQ(::StartValues.LocalPort, 50000);
  EXPECT_EQ(::StartValues.RemotePort, 50000);
  EXPECT_EQ(::StartValues.RemoteIP, "192.168.1.250");
  EXPECT_EQ(::StartValues.MaxRecvSequenceNumberInterval, 100);
  EXPECT_EQ(::StartValues.RecDeviceID, "Plantronics Blackwire C210|Sennheiser USB headset|Logitech USB Headset|USB VoIP Device");
  EXPECT_EQ(::StartValues.PlayDeviceID, ::StartValues.RecDeviceID);
}

TEST_F(StartValuesFile, AnExistingFileIsNeverOverwritten) {
  for (const char* Content : {"", "\x01\x02garbage\xff", "[Options]\r\nLocalPort=1234"}) {
    ResetStartValues();
    LoadWith(Content);
    EXPECT_EQ(ReadFile(Dir.Path() / "Brenvic.ini"), Content);
  }
  EXPECT_EQ(::StartValues.LocalPort, 1234);
  EXPECT_FALSE(DoLog) << "keys missing from an existing file keep the built-in defaults";
}

TEST_F(StartValuesFile, ReadingAndWidthRules) {
  LoadWith(
      "[options]\r\n"
      "dolog=-1\r\n"
      "LocalPort=0x7530\r\n"
      "RemotePort=65537\r\n"
      "TCPServerListenPort=$FFFF\r\n"
      "PayloadType=264\r\n"
      "RTPVersion=-2\r\n"
      "DisconnectTimeOut=-5\r\n"
      "SaveWavData=yes\r\n"
      "NeedMeasure=7\r\n"
      "StartAsClient= 1 \r\n"
      "MaxRecvSequenceNumberInterval=70000\r\n"
      "LocalIP=\" 127.0.0.1 \"\r\n"
      "Unknown=1\r\n"
      "[Other]\r\n"
      "SendBufCount=9\r\n");
  EXPECT_TRUE(DoLog);
  EXPECT_EQ(::StartValues.LocalPort, 30000);
  EXPECT_EQ(::StartValues.RemotePort, 1);
  EXPECT_EQ(::StartValues.TCPServerListenPort, 65535);
  EXPECT_EQ(::StartValues.PayloadType, 8);
  EXPECT_EQ(::StartValues.RTPVersion, 254);
  EXPECT_EQ(::StartValues.DisconnectTimeOut, -5);
  EXPECT_FALSE(::StartValues.SaveWavData) << "a word is not a number: the built-in default stays";
  EXPECT_TRUE(::StartValues.NeedMeasure);
  EXPECT_TRUE(::StartValues.StartAsClient);
  EXPECT_EQ(::StartValues.MaxRecvSequenceNumberInterval, 70000 & 0xFFFF);
  EXPECT_EQ(::StartValues.LocalIP, " 127.0.0.1 ");
  EXPECT_EQ(::StartValues.SendBufCount, 5) << "keys outside [Options] are ignored";
  EXPECT_EQ(::StartValues.RecDeviceID, "") << "an absent device key is the empty text, not 0";
}

TEST_F(StartValuesFile, DoLogValues) {
  struct {
    const char* Text;
    bool Expected;
  } Cases[] = {{"0", false}, {"5", true}, {"-1", true}, {"yes", false}, {"", false}};
  for (const auto& C : Cases) {
    ResetStartValues();
    LoadWith((std::string("[Options]\r\nDoLog=") + C.Text).c_str());
    EXPECT_EQ(DoLog, C.Expected) << C.Text;
  }
}

TEST_F(StartValuesFile, LongDeviceListIsCut) {
  const std::string Long(3000, 'D');
  LoadWith(("[Options]\r\nRecDeviceID=" + Long + "\r\n").c_str());
  EXPECT_EQ(::StartValues.RecDeviceID, Long.substr(0, 2047));
}

TEST_F(StartValuesFile, OtherExecutableNameReadsItsOwnFile) {
  LoadWith("[Options]\r\nLocalPort=4000\r\n", "Other.ini");
  EXPECT_FALSE(std::filesystem::exists(Dir.Path() / "Brenvic.ini")) << "nothing written beside an existing file";
  EXPECT_EQ(::StartValues.LocalPort, 4000);
  EXPECT_FALSE(DoLog);

  ResetStartValues();
  std::filesystem::remove(Dir.Path() / "Other.ini");
  LoadWith(nullptr, "Other.ini");
  std::string Image;
  ASSERT_TRUE(Platform::LoadResourceBytes("BRENVIC_INI", "CFGFILE", Image));
  EXPECT_EQ(ReadFile(Dir.Path() / "Other.ini"), Image) << "the image under the name that is read";
  EXPECT_FALSE(std::filesystem::exists(Dir.Path() / "Brenvic.ini"));
  EXPECT_EQ(::StartValues.LocalPort, 50000) << "and its values in force";
}

TEST_F(StartValuesFile, UnwritableDirectoryLeavesDefaults) {
  const std::string Missing = (Dir.Path() / "no" / "such" / "").string();
  LoadStartValuesFrom(Missing, Missing + "Brenvic.ini");
  EXPECT_FALSE(DoLog);
  EXPECT_EQ(::StartValues.LocalPort, 30000);
}

}  // namespace

namespace {

TEST_F(StartValuesFile, SettingsThatDisableTheBridgeAreWarnedAboutAndKept) {
  LoadWith(nullptr);  // the shipped image: nothing to warn about
  EXPECT_EQ(Warnings(), std::vector<std::string>{});
  EXPECT_EQ(Refusals(), std::vector<std::string>{});
  ResetStartValues();
  EXPECT_EQ(Warnings(), std::vector<std::string>{}) << "nor with the built-in defaults";
  EXPECT_EQ(Refusals(), std::vector<std::string>{});

  LoadWith(
      "[Options]\r\nLocalPort=113948\r\nDisconnectTimeOut=-1\r\nRTPVersion=0\r\nSendBufCount=0\r\n"
      "MaxRecvSequenceNumberInterval=0\r\nTCPServerListenPort=-1\r\nPayloadType=264\r\n"
      "[Logs]\r\nKeepDays=7\r\n",
      "Other.ini");
  EXPECT_EQ(Refusals(), (std::vector<std::string>{"Error: LocalPort=113948: not a port number (1..65535)",
                                                   "Error: TCPServerListenPort=-1: not a port number (1..65535)"}))
      << "a port cut to its width would be another port";
  EXPECT_EQ(Warnings(),
            (std::vector<std::string>{
                "Warning: DisconnectTimeOut=-1: a peer that falls silent is never dropped",
                "Warning: PayloadType=264: does not fit, 8 is used",
                "Warning: RTPVersion=0: packets of RTP version 2 are refused, the bridge is deaf",
                "Warning: SendBufCount=0: no packet is ever sent, the microphone is mute",
                "Warning: MaxRecvSequenceNumberInterval=0: packets that follow in sequence are refused, received "
                "audio is lost"}));
  EXPECT_EQ(::StartValues.LocalPort, 48412) << "the values stay as the reading rules give them";
  EXPECT_EQ(::StartValues.DisconnectTimeOut, -1);
  EXPECT_EQ(::StartValues.SendBufCount, 0);
  EXPECT_EQ(::StartValues.LogKeepDays, 7);

  ResetStartValues();
  LoadWith("[Options]\r\nSendBufCount=65536\r\nDisconnectTimeOut=0\r\nLocalPort=0\r\n", "Third.ini");
  EXPECT_EQ(Refusals(), std::vector<std::string>{}) << "port 0 is the system's choice, told but not refused";
  EXPECT_EQ(Warnings(),
            (std::vector<std::string>{
                "Warning: LocalPort=0: the system picks a port that no peer knows, the bridge is deaf",
                "Warning: DisconnectTimeOut=0: every peer is dropped at each check, received audio is lost",
                "Warning: SendBufCount=65536: does not fit, 0 is used; no packet is ever sent, the microphone is "
                "mute"}))
      << "one line per setting";
}

TEST_F(StartValuesFile, ValuesThatCannotWorkAreRefusedNamingTheKey) {
  const struct {
    const char* Settings;
    std::vector<std::string> Refusals;
    std::vector<std::string> Warnings;
  } Cases[] = {
      {"LocalPort=106000\r\nRemotePort=65536\r\nTCPServerListenPort=-80",
       {"Error: LocalPort=106000: not a port number (1..65535)",
        "Error: RemotePort=65536: not a port number (1..65535)",
        "Error: TCPServerListenPort=-80: not a port number (1..65535)"},
       {}},
      {"LocalPort=65535\r\nRemotePort=1\r\nTCPServerListenPort=0x61A8", {}, {}},
      {"PayloadType=0", {"Error: PayloadType=0: labels the A-law audio as another codec (only 8 or 96..127)"}, {}},
      {"PayloadType=95", {"Error: PayloadType=95: labels the A-law audio as another codec (only 8 or 96..127)"}, {}},
      {"PayloadType=256",
       {"Error: PayloadType=256: does not fit, 0 is used; labels the A-law audio as another codec (only 8 or "
        "96..127)"},
       {}},
      {"PayloadType=96", {}, {"Warning: PayloadType=96: a dynamic type, the peer must know it as PCMA/8000"}},
      {"PayloadType=127", {}, {"Warning: PayloadType=127: a dynamic type, the peer must know it as PCMA/8000"}},
      {"PayloadType=128", {}, {"Warning: PayloadType=128: not a payload type, 8 is sent"}},
  };
  for (const auto& C : Cases) {
    ResetStartValues();
    LoadWith(("[Options]\r\n" + std::string(C.Settings) + "\r\n").c_str());
    EXPECT_EQ(Refusals(), C.Refusals) << C.Settings;
    EXPECT_EQ(Warnings(), C.Warnings) << C.Settings;
  }

  // The packet size comes from the RTP layer: only the judgement is here.
  ResetStartValues();
  LoadWith("[Options]\r\nSendPayloadTime=66136\r\n");
  EXPECT_EQ(Refusals(4097), std::vector<std::string>{"Error: SendPayloadTime=66136: does not fit, 600 is used; packets "
                                                     "of 4097 bytes exceed the sender's 4096"});
  EXPECT_EQ(Warnings(4097), std::vector<std::string>{}) << "one line per setting";
}

TEST_F(StartValuesFile, WhatWasReadOtherwiseThanWrittenIsTold) {
  LoadWith(
      "\xEF\xBB\xBF[Options]\r\nDoLog=1\r\nSaveWavData=yes\r\nDisconnectTimeOut=6000 ms\r\nLocalPort=\r\n"
      "PayloadType=eight\r\n[Logs]\r\nKeepDays=two weeks\r\n");
  EXPECT_TRUE(DoLog) << "the first section is read";
  EXPECT_FALSE(::StartValues.SaveWavData);
  EXPECT_EQ(::StartValues.DisconnectTimeOut, 2000);
  EXPECT_EQ(Warnings(), (std::vector<std::string>{
                            "Warning: " + (Dir.Path() / "Brenvic.ini").string() + ": UTF-8 byte-order mark skipped",
                            "Warning: SaveWavData=yes: not a number, 0 is used",
                            "Warning: DisconnectTimeOut=6000 ms: not a number, 2000 is used",
                            "Warning: PayloadType=eight: not a number, 8 is used",
                            "Warning: [Logs] KeepDays=two weeks: not a number, 0 is used",
                        }))
      << "an empty value is the default without a word";
  EXPECT_EQ(Refusals(), std::vector<std::string>{});
}

}  // namespace
