// Bridges end to end: two of them in conversation, a recording client on the TCP
// stream, a scripted RTP peer, peer time-outs, the raw stream files, Ctrl+C and
// a start that fails.
#include <gtest/gtest.h>

#include "e2e_support_posix.h"

namespace {

using namespace std::chrono_literals;
using namespace E2E;
using TestSupport::ReadFile;

// ---- tests ----------------------------------------------------------------------

TEST(Bridge, TwoBridgesConverseAndServeTheInterleavedStream) {
  const uint16_t PortA = FreePort(SOCK_DGRAM), PortB = FreePort(SOCK_DGRAM);
  const uint16_t TcpA = FreePort(SOCK_STREAM), TcpB = FreePort(SOCK_STREAM);
  const std::string Devices = "Capture1=Test Mic|file=mic.raw\r\nPlayback1=Test Ear|file=ear.raw\r\n";
  TBridge A(Ini(PortA, PortB, TcpA, "StartAsClient=1\r\nSaveWavData=1\r\n", Devices));
  TBridge B(Ini(PortB, PortA, TcpB, "SaveWavData=1\r\n", Devices));
  TestSupport::WriteFile(A.Dir() / "mic.raw", MicFile(1));
  TestSupport::WriteFile(B.Dir() / "mic.raw", MicFile(2));

  B.Start();
  ASSERT_TRUE(B.WaitForLog("RTP session processor -> started", 5s));
  A.Start();
  ASSERT_TRUE(A.WaitForLog("RTP session processor -> started", 5s));
  ASSERT_TRUE(B.WaitForLog("CONNECTED: [ID=", 3s));
  ASSERT_TRUE(A.WaitForLog("CONNECTED: [ID=", 3s));

  // A recording client on B's TCP stream for about two seconds.
  Bytes Stream;
  {
    TSocket Client(SOCK_STREAM);
    ASSERT_TRUE(Client.Connect(TcpB));
    Client.SetTimeout(300ms);
    const auto End = std::chrono::steady_clock::now() + 2500ms;
    while (std::chrono::steady_clock::now() < End) Stream += Client.Receive();
  }
  A.Signal(SIGINT);
  B.Signal(SIGINT);
  EXPECT_EQ(A.Wait(3s), 0);
  EXPECT_EQ(B.Wait(3s), 0);

  const auto LogB = B.LogLines();
  EXPECT_TRUE(HasLine(LogB, "CONNECTED: [ID=1,IP=<127.0.0.1>,Port=<" + std::to_string(PortA) + ">]"));
  EXPECT_TRUE(HasLine(A.LogLines(), "CONNECTED: [ID=1,IP=<127.0.0.1>,Port=<" + std::to_string(PortB) + ">]"));

  // Each side's earpiece heard the other's microphone, in order and unaltered.
  const Bytes EarA = ReadFile(A.Dir() / "ear.raw"), EarB = ReadFile(B.Dir() / "ear.raw");
  const Bytes SentA = RawFile(A, "RawSent_"), SentB = RawFile(B, "RawSent_");
  EXPECT_GT(EarA.size(), 8000u) << "at least a second of audio";
  EXPECT_GT(EarB.size(), 8000u);
  EXPECT_TRUE(PiecesInOrder(EarA, SentB, 160)) << "A played what B sent";
  EXPECT_TRUE(PiecesInOrder(EarB, SentA, 160)) << "B played what A sent";
  EXPECT_TRUE(PiecesInOrder(SentA, ReadFile(A.Dir() / "mic.raw") + ReadFile(A.Dir() / "mic.raw"), 160))
      << "what A sent is its microphone";

  // The stream: 2000-byte frames, even bytes received (played), odd bytes sent.
  ASSERT_GE(Stream.size(), 4000u);
  Stream.resize(Stream.size() / 2000 * 2000);
  for (size_t F = 0; F < Stream.size(); F += 2000) {
    Bytes Received, Sent;
    for (size_t I = 0; I < 2000; I += 2) {
      Received += Stream[F + I];
      Sent += Stream[F + I + 1];
    }
    EXPECT_NE(EarB.find(Received), Bytes::npos) << "frame " << F / 2000 << ": received channel";
    EXPECT_NE(SentB.find(Sent), Bytes::npos) << "frame " << F / 2000 << ": sent channel";
  }
}

TEST(Bridge, ScriptedPeerTimeoutSsrcChangeAndRawFiles) {
  const uint16_t Port = FreePort(SOCK_DGRAM), Tcp = FreePort(SOCK_STREAM);
  TBridge B(Ini(Port, 9, Tcp, "SaveWavData=1\r\nDisconnectTimeOut=600\r\n",
                "Capture1=Test Mic|file=mic.raw\r\nPlayback1=Test Ear|file=ear.raw\r\n"));
  TestSupport::WriteFile(B.Dir() / "mic.raw", MicFile(3));
  B.Start();
  ASSERT_TRUE(B.WaitForLog("RTP session processor -> started", 5s));

  TSocket Peer(SOCK_DGRAM);
  Peer.SetTimeout(100ms);
  const Bytes Payload = MicFile(4, 160);
  Bytes Received;
  uint32_t FirstSsrc = 0;
  for (uint16_t I = 0; I < 40; ++I) {  // 800 ms of audio
    Peer.SendTo(Port, RtpPacket(static_cast<uint16_t>(1000 + I), 160u * I, 0x11111111, Payload));
    for (Bytes P = Peer.Receive(); !P.empty(); P = Peer.Receive()) {
      EXPECT_EQ(P.size(), 172u);
      if (!FirstSsrc) FirstSsrc = SsrcOf(P);
      Received += P.substr(12);
      if (Received.size() >= 160u * (I + 1)) break;
    }
  }
  ASSERT_NE(FirstSsrc, 0u) << "the bridge answers its peer";

  // Silent now: disconnected between the time-out and about 300 ms later.
  const auto Silent = std::chrono::steady_clock::now();
  ASSERT_TRUE(B.WaitForLog("DISCONNECT_INACTIVE [1]", 3s));
  const auto Waited = std::chrono::steady_clock::now() - Silent;
  EXPECT_GE(Waited, 550ms);
  EXPECT_LE(Waited, 600ms + 300ms + 400ms) << "time-out plus the check period, with slack for a loaded machine";
  EXPECT_TRUE(B.WaitForLog("DISCONNECTED: [ID=1,IP=<127.0.0.1>,Port=<" + std::to_string(Peer.Port()) + ">]", 1s));

  // A new stream: the SSRC change is adopted, and the bridge speaks with a new SSRC.
  while (!Peer.Receive().empty()) {
  }  // what was still queued from the first stream
  uint32_t SecondSsrc = 0;
  for (uint16_t I = 0; I < 10 && !SecondSsrc; ++I) {
    Peer.SendTo(Port, RtpPacket(static_cast<uint16_t>(5000 + I), 160u * I, 0x22222222, Payload));
    for (Bytes P = Peer.Receive(); !P.empty(); P = Peer.Receive())
      if (P.size() == 172 && !SecondSsrc) SecondSsrc = SsrcOf(P);
  }
  EXPECT_TRUE(B.WaitForLog("RTP SSRC CHANGED!", 2s));
  EXPECT_NE(SecondSsrc, 0u);
  EXPECT_NE(SecondSsrc, FirstSsrc);

  B.Signal(SIGINT);
  EXPECT_EQ(B.Wait(3s), 0);
  const Bytes RawSent = RawFile(B, "RawSent_");
  EXPECT_EQ(RawSent.substr(0, Received.size()), Received) << "the sent file holds what went out";
  const Bytes RawRecv = RawFile(B, "RawRecv_");
  EXPECT_NE(RawRecv.find(Payload), Bytes::npos) << "the received file holds what came in";
  EXPECT_EQ(RawRecv.size() % 160, 0u);
}

TEST(Bridge, CtrlCStopsWithinASecond) {
  const uint16_t Port = FreePort(SOCK_DGRAM), Tcp = FreePort(SOCK_STREAM);
  TBridge B(Ini(Port, 9, Tcp, "", "Capture1=Test Mic|tone=440\r\nPlayback1=Test Ear|file=ear.raw\r\n"));
  B.Start();
  ASSERT_TRUE(B.WaitForLog("TAVEK Vantelo service started successfully", 5s));
  const auto Before = std::chrono::steady_clock::now();
  B.Signal(SIGINT);
  EXPECT_EQ(B.Wait(3s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - Before, 1s);
  EXPECT_EQ(TestSupport::SplitCrLf(B.Console()),
            (std::vector<std::string>{"", "TAVEK Vantelo service v" + std::string(BRENVIC_EXPECTED_VERSION), "",
                                      "Running as application - OK", "Have a STOP signal...",
                                      "TAVEK Vantelo service stopped as application successfully"}));
  const auto Log = B.LogLines();
  for (const char* Line :
       {"TAVEK Vantelo service stopping...", "RTP Session stopping...", "Sound recorder processor -> stopped",
        "Sound player processor -> stopped", "UDP sender/receiver processor -> stopped",
        "Audio mixer processor -> stopped", "RTP Session stopped", "TAVEK Vantelo service stopped successfully"})
    EXPECT_TRUE(HasLine(Log, Line)) << Line;
}

TEST(Bridge, ATakenTcpPortFailsTheStartAndEndsWithZero) {
  TSocket Taken(SOCK_STREAM);
  Taken.Listen();
  const uint16_t Port = FreePort(SOCK_DGRAM);
  std::string Settings = Ini(Port, 9, Taken.Port(), "", "");
  Settings.replace(Settings.find("DoLog=1"), 7, "DoLog=0");
  TBridge B(Settings);
  B.Start();
  EXPECT_EQ(B.Wait(5s), 0);
  const auto Log = B.LogLines();
  ASSERT_EQ(Log.size(), 2u) << "with logging off only the error lines";
  EXPECT_EQ(Log[0].rfind("Exception starting RTP Session: Cannot start server. ", 0), 0u) << Log[0];
  EXPECT_EQ(Log[1], "Exception in main proceding: TAVEK Vantelo service failed to start");
  EXPECT_EQ(TestSupport::SplitCrLf(B.Console()).back(), "TAVEK Vantelo service stopped as application successfully");
}

TEST(Bridge, SettingsBeyondTheBufferLimitsAreRefusedAtStart) {
  const uint16_t Port = FreePort(SOCK_DGRAM), Tcp = FreePort(SOCK_STREAM);
  TBridge B(Ini(Port, 9, Tcp, "ReceiveBufCount=0\r\n", ""));
  B.Start();
  EXPECT_EQ(B.Wait(5s), 0);
  const auto Log = B.LogLines();
  EXPECT_EQ(CountContaining(Log, "ReceiveBufCount=0 is outside 1..1024"), 2u) << "its own line and the start's";
  EXPECT_TRUE(HasLine(Log, "RTP Session failed to start"));
  EXPECT_TRUE(HasLine(Log, "Exception in main proceding: TAVEK Vantelo service failed to start"));
}

}  // namespace
